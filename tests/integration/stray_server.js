// A dev server that keeps its listening server in a child, in the shapes that outlive pm2's stop
// (MODE): "launcher" starts the child and exits, leaving it to pid 1; "stubborn" keeps a child
// that ignores SIGINT and SIGTERM; "child" keeps an ordinary one (--no-treekill leaves it);
// "detached" keeps one in a session of its own. The child listens on any free port and then
// writes "pid port" to STRAYS_FILE.
const { spawn } = require('child_process');
const fs = require('fs');
const net = require('net');
const mode = process.env.MODE;

if (process.argv[2] === 'server') {
    if (mode === 'stubborn')
        for (const signal of ['SIGINT', 'SIGTERM']) process.on(signal, () => {});
    const server = net.createServer((socket) => socket.end()).listen(0, '127.0.0.1', () =>
        fs.writeFileSync(process.env.STRAYS_FILE, `${process.pid} ${server.address().port}\n`));
} else {
    spawn(process.execPath, [__filename, 'server'], { stdio: 'ignore', detached: mode === 'detached' });
    setInterval(() => {
        if (mode === 'launcher' && fs.existsSync(process.env.STRAYS_FILE)) process.exit(0);
    }, 100);
}
