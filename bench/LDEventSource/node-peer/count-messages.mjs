// The npm event-stream client's side of the loopback benchmark: opens the
// stream, counts its messages and, once it has seen the number asked for,
// prints "done" and leaves. With "latency", each message's data starts
// with the server's write time in nanoseconds of the monotonic clock (19
// digits after `{"t":`), and the delays from it to the handler call are
// printed on one line after "done".
//
//   node count-messages.mjs URL COUNT [latency]

import { EventSource } from 'eventsource';

const [url, countText, mode] = process.argv.slice(2);
const total = Number.parseInt(countText, 10);
if (!url || !(total > 0)) {
  process.stderr.write('usage: node count-messages.mjs URL COUNT [latency]\n');
  process.exit(2);
}
const measureLatency = mode === 'latency';
const delays = measureLatency ? new Float64Array(total) : null;
let count = 0;

const source = new EventSource(url);
source.onmessage = (event) => {
  if (count >= total) return;
  if (delays) {
    const written = BigInt(event.data.slice(5, 24));
    delays[count] = Number(process.hrtime.bigint() - written);
  }
  count += 1;
  if (count === total) {
    source.close();
    let text = 'done\n';
    if (delays) text += `latencies ${Array.from(delays).join(',')}\n`;
    process.stdout.write(text, () => process.exit(0));
  }
};
source.onerror = () => {
  process.stderr.write(`eventsource: connection error after ${count} messages\n`);
};
