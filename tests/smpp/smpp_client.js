#!/usr/bin/env node
// An SMPP client on the npm smpp library, driven by the tests of the SMPP
// test peers: one JSON request per line on standard input, one JSON answer
// per line on standard output.
//
//   {"op": "connect", "port": N}
//   {"op": "bind", "as": "transceiver|transmitter|receiver", "system_id": .., "password": ..}
//   {"op": "send", "command": "submit_sm", "fields": {...}, "repeat": N}
//                                                   -> {"seq": N} (the first one's)
//   {"op": "raw", "hex": "..."}                                 bytes as they are
//   {"op": "events", "count": N, "timeout_ms": T}               what arrived, once N did
//   {"op": "set", "deliver_status": S, "answer_enquire": true|false}
//   {"op": "close"} | {"op": "quit"}
//
// Requests get the next sequence number unless "fields" give
// sequence_number. Every PDU received becomes an event; deliver_sm and
// enquire_link are answered at once unless told otherwise.
'use strict';

const path = require('path');
const readline = require('readline');
const smpp = require(path.join(__dirname, '../../tools/smppsim/node_modules/smpp'));

let session = null;
let events = [];
let waiter = null;
let deliverStatus = 0;
let answerEnquire = true;

function out(object) {
  process.stdout.write(JSON.stringify(object) + '\n');
}

function plain(value) {
  if (Buffer.isBuffer(value)) return {hex: value.toString('hex')};
  if (value instanceof Date) return value.toISOString();
  if (Array.isArray(value)) return value.map(plain);
  if (value && typeof value === 'object') {
    const o = {};
    for (const k of Object.keys(value)) o[k] = plain(value[k]);
    return o;
  }
  return value;
}

function pushEvent(e) {
  events.push(e);
  if (waiter && events.length >= waiter.count) {
    const w = waiter;
    waiter = null;
    clearTimeout(w.timer);
    w.done();
  }
}

function onPdu(pdu) {
  const fields = {};
  for (const key of Object.keys(pdu)) {
    if (['command_length', 'command_id', 'command_status', 'sequence_number', 'command'].includes(key)) continue;
    fields[key] = plain(pdu[key]);
  }
  if (pdu.short_message && typeof pdu.short_message === 'object' && !Buffer.isBuffer(pdu.short_message)) {
    const m = pdu.short_message.message;
    fields.text = typeof m === 'string' ? m : undefined;
    if (pdu.short_message.udh) fields.udh = Buffer.concat([Buffer.from([pdu.short_message.udh.reduce((n, u) => n + u.length, 0)]), ...pdu.short_message.udh]).toString('hex');
  }
  pushEvent({event: 'pdu', command: pdu.command, status: pdu.command_status, seq: pdu.sequence_number, fields});
  if (pdu.command === 'deliver_sm') {
    session.send(pdu.response(deliverStatus ? {command_status: deliverStatus} : {}));
  } else if (pdu.command === 'enquire_link' && answerEnquire) {
    session.send(pdu.response());
  } else if (pdu.command === 'unbind') {
    session.send(pdu.response());
  }
}

function sendPdu(command, fields) {
  const pdu = new smpp.PDU(command, fields || {});
  if (fields && fields.sequence_number) pdu.sequence_number = fields.sequence_number;
  if (!session.send(pdu)) throw new Error('the connection is closed');
  return pdu.sequence_number;
}

function decodeFields(fields) {
  // {"hex": ".."} stands for bytes.
  const o = {};
  for (const k of Object.keys(fields || {})) {
    const v = fields[k];
    o[k] = v && typeof v === 'object' && 'hex' in v ? Buffer.from(v.hex, 'hex') : v;
  }
  return o;
}

async function handle(request) {
  switch (request.op) {
    case 'connect':
      return await new Promise((resolve, reject) => {
        session = smpp.connect({host: '127.0.0.1', port: request.port});
        session.on('connect', () => resolve({connected: true}));
        session.on('pdu', onPdu);
        session.on('error', (e) => { pushEvent({event: 'error', why: e.message}); reject(e); });
        session.on('close', () => pushEvent({event: 'close'}));
      });
    case 'bind': {
      const command = 'bind_' + (request.as || 'transceiver');
      return await new Promise((resolve) => {
        session.send(new smpp.PDU(command, {system_id: request.system_id, password: request.password,
                                           system_type: request.system_type || '', interface_version: 0x34}),
                     (pdu) => resolve({status: pdu.command_status, system_id: pdu.system_id}));
      });
    }
    case 'send': {
      // A burst: written at once, before any answer can arrive.
      const seqs = [];
      for (let i = 0; i < (request.repeat || 1); i++) seqs.push(sendPdu(request.command, decodeFields(request.fields)));
      return {seq: seqs[0], seqs};
    }
    case 'raw':
      session.socket.write(Buffer.from(request.hex, 'hex'));
      return {};
    case 'set':
      if ('deliver_status' in request) deliverStatus = request.deliver_status;
      if ('answer_enquire' in request) answerEnquire = request.answer_enquire;
      return {};
    case 'events':
      if (events.length < (request.count || 0)) {
        await new Promise((resolve) => {
          waiter = {count: request.count, done: resolve,
                    timer: setTimeout(() => { waiter = null; resolve(); }, request.timeout_ms || 5000)};
        });
      }
      {
        const taken = events;
        events = [];
        return {events: taken};
      }
    case 'close':
      session.destroy();
      return {};
    case 'quit':
      if (session) session.destroy();
      setImmediate(() => process.exit(0));
      return {};
    default:
      throw new Error('unknown op ' + request.op);
  }
}

const lines = readline.createInterface({input: process.stdin});
let chain = Promise.resolve();
lines.on('line', (line) => {
  chain = chain.then(async () => {
    try {
      out(Object.assign({ok: true}, await handle(JSON.parse(line))));
    } catch (e) {
      out({ok: false, error: e.message});
    }
  });
});
lines.on('close', () => chain.then(() => process.exit(0)));
