// A local SMPP 3.4 server for Korvane's tests and demo. It accepts bind_transmitter,
// bind_transceiver and submit_sm, prints or records what it receives, and misbehaves on
// request. On a transceiver session, a submit that asks for a receipt gets one (deliver_sm)
// --receipt-delay ms after its answer, DELIVRD (UNDELIV to a destination containing "555"),
// its id spelt in turn as given, zero-padded, in upper-case hexadecimal and in the TLVs only,
// as gateways do. As a gateway keeps a receipt until it is answered OK, one answered otherwise
// is sent again a second later, and one unanswered when its session ends is sent again on the
// account's next transceiver session. Sends and answers are recorded ({"receipt": id,
// "sent": true} and {"receipt": id, "answered": status}).
// A phone that answers: a submit to a destination containing "444" gets a reply from that
// number on a transceiver session (UCS-2, "Yes 😀"), one containing "4443" a reply in three
// parts (8-bit reference headers), sent last part first. A reply answered other than OK is
// offered again a second later; one unanswered when its session ends, on the account's next
// transceiver session. Recorded as {"reply": from, "sent": true} and {"reply": from,
// "answered": status}.
//   password "wrong"                        -> bind refused (ESME_RINVPASWD)
//   system_id "chatty"                      -> an enquire_link to the client before each answer
//   destination containing "999"            -> submit refused (ESME_RSUBMITFAIL)
//   destination containing "777"            -> submit recorded, never answered
//   destination containing "778"            -> first part recorded and accepted, then the
//                                              connection drops at the next part
// Usage: node smpp_server.js --port N [--store file.jsonl] [--print] [--delay MS] [--quota N]
//        [--gap N] [--receipt-delay MS] [--key FILE --cert FILE]
// --replies-per-second N: phones keep replying on every transceiver session, N a second.
// --key and --cert: the server speaks TLS only, with that key and certificate.
// --delay answers every request MS milliseconds late, as a real gateway over a network does.
// --quota takes at most N submits in any second and answers the rest ESME_RTHROTTLED, as a
// provider's contract does.
'use strict';
const smpp = require('smpp');
const fs = require('fs');

const args = process.argv.slice(2);
const option = (name) => {
    const i = args.indexOf(name);
    return i >= 0 ? args[i + 1] : undefined;
};
const port = Number(option('--port') || 2775);
const store = option('--store');
const print = args.includes('--print');
const delay = Number(option('--delay') || 0);
const quota = Number(option('--quota') || 0);
// --gap N: a provider's minimum gap, N submits a second: a submit that arrives less than
// 1/N s after the last one taken is answered ESME_RTHROTTLED.
// --gap-per-bind: each session is held to that gap on its own, as providers that sell
// throughput as several binds do.
const gapQuota = Number(option('--gap') || 0);
const gapPerBind = args.includes('--gap-per-bind');
const receiptDelay = Number(option('--receipt-delay') || 20);
const repliesPerSecond = Number(option('--replies-per-second') || 0);
const lastTaken = new Map();  // by session, or all under 0
const tooSoon = (sessionNumber) => {
    const key = gapPerBind ? sessionNumber : 0;
    const now = process.hrtime.bigint();
    if (now - (lastTaken.get(key) || 0n) < BigInt(Math.round(1e9 / gapQuota))) return true;
    lastTaken.set(key, now);
    return false;
};
const taken = [];  // when the submits of the last second were taken
const overQuota = () => {
    const now = Date.now();
    while (taken.length && taken[0] <= now - 1000) taken.shift();
    if (taken.length >= quota) return true;
    taken.push(now);
    return false;
};
// Ids as gateways issue them, seven digits: their hexadecimal spelling (F4240 to FFFFF) is
// never a decimal id as well, so a receipt in any of the four spellings names one message.
let messageId = 999999;
let sessions = 0;

const kept = {};  // system_id: receipts unanswered when their session ended
const keptReplies = {};  // system_id: replies unanswered when their session ended
let replyReference = 0;

// The phone's reply to a message sent to it, as deliver_sm fields, one per part.
function repliesFrom(phone, to) {
    const from = {source_addr: phone, source_addr_ton: 1, source_addr_npi: 1,
        destination_addr: to};
    if (!phone.includes('4443')) {
        return [Object.assign({short_message: Buffer.from('Yes \u{1F600}', 'utf16le').swap16(),
            data_coding: 8, esm_class: 0}, from)];
    }
    const reference = ++replyReference & 0xff;
    const texts = ['Part one of the answer, ', 'part two, ', 'and part three.'];
    return texts.map((text, i) => Object.assign({
        short_message: Buffer.concat([Buffer.from([5, 0, 3, reference, 3, i + 1]),
            Buffer.from(text, 'latin1')]),
        data_coding: 0, esm_class: 0x40}, from)).reverse();
}

function offerReply(session, fields, unanswered, systemId) {
    unanswered.add(fields);
    record({reply: fields.source_addr, sent: true});
    session.deliver_sm(Object.assign({}, fields), (resp) => {
        unanswered.delete(fields);
        record({reply: fields.source_addr, answered: resp.command_status});
        if (resp.command_status !== smpp.ESME_ROK) {
            setTimeout(() => offerReply(session, fields, unanswered, systemId), 1000);
        }
    });
}

// A receipt for message id (a decimal number), in the n-th of the four spellings.
function receipt(session, id, destination, source, unanswered, systemId) {
    const stat = destination.includes('555') ? 'UNDELIV' : 'DELIVRD';
    const form = id % 4;
    const spelt = form === 1 ? String(id).padStart(10, '0')
        : form === 2 ? id.toString(16).toUpperCase() : String(id);
    const fields = {
        source_addr: destination,
        destination_addr: source,
        esm_class: 4,
        short_message: form === 3 ? '' : `id:${spelt} sub:001 dlvrd:001 submit date:2612071010 ` +
            `done date:2612071015 stat:${stat} err:000 text:`,
    };
    if (form === 3) {
        fields.receipted_message_id = spelt;
        fields.message_state = stat === 'DELIVRD' ? 2 : 5;
    }
    const again = [id, destination, source];
    unanswered.add(again);
    record({receipt: String(id), sent: true});
    session.deliver_sm(fields, (resp) => {
        unanswered.delete(again);
        record({receipt: String(id), answered: resp.command_status});
        if (resp.command_status !== 0) {
            setTimeout(() => receipt(session, ...again, unanswered, systemId), 1000);
        }
    });
}

function record(entry) {
    if (store) {
        fs.appendFileSync(store, JSON.stringify(entry) + '\n');
    }
    if (print && !entry.receipt && !entry.reply) {
        const text = entry.udh ? `[part ${entry.udh[4]}/${entry.udh[3]}] ${entry.message}` : entry.message;
        console.log(`SMS sink: from ${entry.source_addr} to ${entry.destination_addr}: ${text}`);
    }
}

const tlsOptions = option('--key') && option('--cert')
    ? {key: fs.readFileSync(option('--key')), cert: fs.readFileSync(option('--cert'))}
    : {};
const server = smpp.createServer(tlsOptions, (session) => {
    let systemId = '';
    const sessionNumber = ++sessions;
    const answer = (pdu, response) => {
        if (systemId === 'chatty') {
            session.enquire_link();
        }
        if (delay > 0) {
            setTimeout(() => session.send(response), delay);
        } else {
            session.send(response);
        }
    };
    session.on('error', () => {});
    let transceiver = false;
    const unanswered = new Set();
    const repliesUnanswered = new Set();
    session.on('close', () => {
        if (unanswered.size) {
            kept[systemId] = (kept[systemId] || []).concat([...unanswered]);
        }
        if (repliesUnanswered.size) {
            keptReplies[systemId] = (keptReplies[systemId] || []).concat([...repliesUnanswered]);
        }
    });
    const bind = (pdu) => {
        systemId = pdu.system_id;
        const status = pdu.password === 'wrong' ? smpp.ESME_RINVPASWD : smpp.ESME_ROK;
        answer(pdu, pdu.response({command_status: status}));
    };
    session.on('bind_transmitter', bind);
    session.on('bind_transceiver', (pdu) => {
        transceiver = true;
        bind(pdu);
        if (repliesPerSecond > 0) {
            let phone = 0;
            const talk = setInterval(() => {
                const from = String(447700100000 + (++phone % 5000));
                session.deliver_sm({source_addr: from, source_addr_ton: 1, source_addr_npi: 1,
                    destination_addr: 'Shop', short_message: Buffer.from(`Reply ${phone}`),
                    data_coding: 0, esm_class: 0}, () => {});
            }, 1000 / repliesPerSecond);
            session.on('close', () => clearInterval(talk));
        }
        const waiting = kept[systemId] || [];
        delete kept[systemId];
        for (const again of waiting) {
            setTimeout(() => receipt(session, ...again, unanswered, systemId), delay + receiptDelay);
        }
        const replies = keptReplies[systemId] || [];
        delete keptReplies[systemId];
        for (const fields of replies) {
            setTimeout(() => offerReply(session, fields, repliesUnanswered, systemId),
                delay + receiptDelay);
        }
    });
    session.on('submit_sm', (pdu) => {
        const sm = pdu.short_message || {};
        const entry = {
            system_id: systemId,
            session: sessionNumber,
            source_addr: pdu.source_addr,
            source_addr_ton: pdu.source_addr_ton,
            source_addr_npi: pdu.source_addr_npi,
            destination_addr: pdu.destination_addr,
            dest_addr_ton: pdu.dest_addr_ton,
            data_coding: pdu.data_coding,
            esm_class: pdu.esm_class,
            message: typeof sm.message === 'string' ? sm.message : String(sm.message),
            at: Date.now(),
            udh: sm.udh && sm.udh.length ? Array.from(sm.udh[0]) : undefined,
        };
        const destination = String(pdu.destination_addr);
        if ((quota > 0 && overQuota()) || (gapQuota > 0 && tooSoon(sessionNumber))) {
            answer(pdu, pdu.response({command_status: smpp.ESME_RTHROTTLED}));
            return;
        }
        if (destination.includes('999')) {
            answer(pdu, pdu.response({command_status: smpp.ESME_RSUBMITFAIL}));
            return;
        }
        if (destination.includes('778') && entry.udh && entry.udh[4] > 1) {
            session.socket.destroy();
            return;
        }
        record(entry);
        if (destination.includes('777')) {
            return;
        }
        const id = ++messageId;
        answer(pdu, pdu.response({message_id: String(id)}));
        if (transceiver && (pdu.registered_delivery & 1)) {
            setTimeout(() => receipt(session, id, destination, String(pdu.source_addr),
                unanswered, systemId), delay + receiptDelay);
        }
        if (transceiver && destination.includes('444') && !(entry.udh && entry.udh[4] > 1)) {
            for (const fields of repliesFrom(destination, String(pdu.source_addr))) {
                setTimeout(() => offerReply(session, fields, repliesUnanswered, systemId),
                    delay + receiptDelay);
            }
        }
    });
    session.on('enquire_link', (pdu) => session.send(pdu.response()));
    session.on('unbind', (pdu) => {
        session.send(pdu.response());
        session.close();
    });
});

server.listen(port, '127.0.0.1', () => {
    if (print) {
        console.log(`SMS sink listening on 127.0.0.1:${port}`);
    }
});
