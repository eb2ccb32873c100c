// A development server with a helper process, as bundlers and dev servers run them: the parent
// listens on one port and forks a child that listens on another. When both listen, the parent
// writes "parentPort childPort childPid" to the file named by PORTS_FILE.
const http = require('http');
const { fork } = require('child_process');
const fs = require('fs');

function listen(onReady) {
    const server = http.createServer((request, response) => response.end('ok\n'));
    server.listen(0, '127.0.0.1', () => onReady(server.address().port));
}

if (process.argv[2] === 'child') {
    listen((port) => process.send({ port }));
} else {
    const child = fork(__filename, ['child']);
    listen((parentPort) => {
        child.once('message', ({ port }) => {
            fs.writeFileSync(process.env.PORTS_FILE, `${parentPort} ${port} ${child.pid}\n`);
        });
    });
    // The child goes with its parent, however the parent ends.
    const stopChild = () => child.kill();
    process.on('exit', stopChild);
    process.on('SIGTERM', () => process.exit(0));
    process.on('SIGINT', () => process.exit(0));
}
