// Writes what dev servers write to their logs: colours, an error, bad bytes and an endless line,
// after BIG_MB megabytes of plain lines; then a line every 100 ms until pm2 stops it. With BIG_MB
// it ends its output after the error, as a picture of the log wants.
const big = Number(process.env.BIG_MB || 0) * 1024 * 1024 / 100;
const line = 'x'.repeat(99) + '\n';
function plain(left, done) {
  if (left <= 0) return done();
  const count = Math.min(left, 10000);
  process.stdout.write(line.repeat(count), () => plain(left - count, done));
}
plain(big, () => {
  process.stdout.write('\x1b[32mready\x1b[0m on \x1b[1mhttp://localhost\x1b[22m\n', () => {
    process.stderr.write('Error: boom\n', () => {
      if (big) return setInterval(() => {}, 1000);
      process.stdout.write(Buffer.from([0x6e, 0x00, 0xff, 0x0a]));
      process.stdout.write('y'.repeat(1 << 20) + '\n');
      let n = 0;
      setInterval(() => console.log(`tick ${++n}`), 100);
    });
  });
});
