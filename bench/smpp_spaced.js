// Reference SMPP client for scripts/bench: one bind, COUNT submit_sm spaced 1/RATE s apart
// (a throttled one offered again at the next slot), then unbind; prints accepted per second.
// Usage: node smpp_spaced.js PORT COUNT RATE
'use strict';
const smpp = require('smpp');
const [port, count, rate] = process.argv.slice(2).map(Number);
const session = smpp.connect({url: `smpp://127.0.0.1:${port}`});
session.on('error', (e) => { console.error(e.message); process.exit(1); });
session.bind_transmitter({system_id: 'spaced', password: 'quill'}, (bound) => {
    if (bound.command_status !== 0) { console.error('bind refused'); process.exit(1); }
    const gapNs = BigInt(Math.round(1e9 / rate));
    const start = process.hrtime.bigint();
    let slot = start;
    let accepted = 0;
    let waiting = count;  // not accepted and not in flight
    const tick = () => {
        if (waiting > 0) {
            waiting -= 1;
            session.submit_sm({source_addr: 'spaced', destination_addr: '447700900123',
                               short_message: 'Spaced message'}, (pdu) => {
                if (pdu.command_status !== 0) {
                    waiting += 1;
                    return;
                }
                accepted += 1;
                if (accepted === count) {
                    const seconds = Number(process.hrtime.bigint() - start) / 1e9;
                    console.log((count / seconds).toFixed(2));
                    session.unbind(() => session.close());
                    process.exit(0);
                }
            });
        }
        slot += gapNs;
        const wait = Number(slot - process.hrtime.bigint()) / 1e6;
        setTimeout(tick, Math.max(0, wait));
    };
    tick();
});
