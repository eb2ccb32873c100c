// A small development server for the tests: answers every request on PORT (any free port when
// unset) until pm2 stops it.
const http = require('http');
http.createServer((request, response) => response.end('ok\n')).listen(Number(process.env.PORT || 0), '127.0.0.1');
