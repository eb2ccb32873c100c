// A development server for the wake tests: listens on PORT at HOST (every address, both
// families, when unset); answers GET with its name, POST with the body's length and SHA-1, and
// echoes the bytes of an upgraded connection.
const crypto = require('crypto');
const http = require('http');
const server = http.createServer((request, response) => {
    const hash = crypto.createHash('sha1');
    let length = 0;
    request.on('data', (chunk) => { hash.update(chunk); length += chunk.length; });
    request.on('end', () => response.end(request.method === 'POST'
        ? `${length} ${hash.digest('hex')}` : `app:${process.env.name}`));
});
server.on('upgrade', (request, socket, head) => {
    socket.write('HTTP/1.1 101 Switching Protocols\r\nUpgrade: echo\r\nConnection: Upgrade\r\n\r\n');
    socket.write(head);
    socket.pipe(socket);
});
server.listen(Number(process.env.PORT), process.env.HOST || undefined);
