// Reference SMPP client for scripts/bench: one bind, COUNT submit_sm with up to WINDOW
// outstanding, then unbind; prints messages per second.
// Usage: node smpp_reference.js PORT COUNT WINDOW
'use strict';
const smpp = require('smpp');
const [port, count, window] = process.argv.slice(2).map(Number);
const session = smpp.connect({url: `smpp://127.0.0.1:${port}`});
session.on('error', (e) => { console.error(e.message); process.exit(1); });
session.bind_transmitter({system_id: 'reference', password: 'quill'}, (bound) => {
    if (bound.command_status !== 0) { console.error('bind refused'); process.exit(1); }
    const start = process.hrtime.bigint();
    let sent = 0;
    let done = 0;
    const next = () => {
        while (sent < count && sent - done < window) {
            sent += 1;
            session.submit_sm({source_addr: 'reference', destination_addr: '447700900123',
                               short_message: 'Reference message'}, () => {
                done += 1;
                if (done === count) {
                    const seconds = Number(process.hrtime.bigint() - start) / 1e9;
                    console.log((count / seconds).toFixed(1));
                    session.unbind(() => session.close());
                } else {
                    next();
                }
            });
        }
    };
    next();
});
