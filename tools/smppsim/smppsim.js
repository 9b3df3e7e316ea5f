#!/usr/bin/env node
// smppsim: an SMSC simulator that speaks the server side of SMPP 3.4 on a
// loopback port, for tests of the gateway's SMPP sender.
//
// It checks bind credentials, answers submit_sm with message ids or, as
// steered, with error statuses, late, held back, with generic_nack or not at
// all; sends deliver_sm (received messages and delivery receipts) and
// enquire_link; answers enquire_link and unbind; and closes connections on
// command. Every PDU received and sent is logged as one JSON object per
// line with its decoded fields, and every protocol violation of the client
// as a record of its own. A second loopback port takes line commands (see
// USAGE and the control commands below).
'use strict';

const fs = require('fs');
const net = require('net');
const smpp = require('smpp');

const USAGE = `usage: smppsim.js [options]
  --port N            SMPP port on 127.0.0.1 (default 0: any free port)
  --control-port N    control port on 127.0.0.1 (default 0)
  --system-id ID      system_id a bind must give (default "kst")
  --password PW       password a bind must give (default "secret")
  --log FILE          JSON-lines log of every PDU (default smppsim.jsonl)
  --set KEY=VALUE     initial setting (any key of the control command set)
  --tls-cert FILE     with --tls-key: SMPP over TLS with this PEM certificate
  --tls-key FILE      and its PEM key
Prints "smppsim: smpp_port=N control_port=M" when it listens.
`;

// ---------------------------------------------------------------- settings

const settings = {
  system_id: 'kst',
  password: 'secret',
  bind: 'check',             // check | refuse (every bind, with bind_status)
  bind_status: 0x0D,         // ESME_RBINDFAIL
  bind_fail_close: 0,        // 1: close the connection after a refused bind
  submit: 'ack',             // ack | hold | ignore | nack
  nack_status: 0x08,         // generic_nack's status (ESME_RSYSERR)
  submit_delay: 0,           // ms before an answer goes out
  close_after: 0,            // close when the Nth next submission arrives
  receipts: 'off',           // on: a receipt for every submission asking one
  receipt_stat: 'DELIVRD',
  receipt_err: '000',
  receipt_delay: 0,          // ms after the submission's answer
  enquire: 'ack',            // ack | ignore (the client's enquire_link)
  enquire_interval: 0,       // ms between enquire_link to bound clients
  id_format: 'hex',          // hex | dec message ids
  default_alphabet: 'gsm',   // data_coding 0 read and written as gsm | latin1
};

const STATUS = smpp.errors;
const RECEIPT_STATES = {
  ENROUTE: 1, DELIVRD: 2, EXPIRED: 3, DELETED: 4, UNDELIV: 5, ACCEPTD: 6, UNKNOWN: 7, REJECTD: 8,
};
// Mandatory C-octet strings: their largest size with the terminating NUL.
const MAX_CSTRING = {
  service_type: 6, source_addr: 21, destination_addr: 21, system_id: 16, password: 9,
  system_type: 13, address_range: 41, message_id: 65, schedule_delivery_time: 17,
  validity_period: 17, final_date: 17,
};
const TIME_FIELDS = new Set(['schedule_delivery_time', 'validity_period', 'final_date']);
const BINDS = {bind_transmitter: 'tx', bind_receiver: 'rx', bind_transceiver: 'trx'};
const TRANSMITTER_REQUESTS = new Set(['submit_sm', 'data_sm', 'submit_multi', 'query_sm',
                                      'cancel_sm', 'replace_sm']);

function parseNumber(text) {
  const value = /^0x[0-9a-f]+$/i.test(text) ? parseInt(text, 16)
    : /^-?\d+$/.test(text) ? parseInt(text, 10) : NaN;
  if (Number.isNaN(value)) throw new Error('not a number: ' + text);
  return value;
}

// A status as a number, 0x58 or ESME_RTHROTTLED.
function parseStatus(text) {
  if (String(text).toUpperCase() in STATUS) return STATUS[String(text).toUpperCase()];
  return parseNumber(String(text));
}

const CHOICES = {
  bind: ['check', 'refuse'], submit: ['ack', 'hold', 'ignore', 'nack'],
  receipts: ['on', 'off'], enquire: ['ack', 'ignore'], id_format: ['hex', 'dec'],
  default_alphabet: ['gsm', 'latin1'],
};

function applySetting(key, value) {
  if (!(key in settings)) throw new Error('unknown setting ' + key);
  if (CHOICES[key]) {
    if (!CHOICES[key].includes(value)) throw new Error(key + ' is one of ' + CHOICES[key].join('|'));
    settings[key] = value;
  } else if (key.endsWith('_status')) {
    settings[key] = parseStatus(value);
  } else if (typeof settings[key] === 'number') {
    const n = parseNumber(value);
    if (n < 0) throw new Error(key + ' must not be negative');
    settings[key] = n;
  } else if (key === 'receipt_stat') {
    if (!(value in RECEIPT_STATES)) throw new Error('receipt_stat is one of ' + Object.keys(RECEIPT_STATES).join('|'));
    settings[key] = value;
  } else {
    settings[key] = value;
  }
  if (key === 'enquire_interval') {
    for (const conn of connections.values()) startEnquireTimer(conn);
  }
}

// ---------------------------------------------------------------- text

function encodeText(text, dataCoding) {
  const dc = dataCoding & 0xFF;
  if (dc === 0 || (dc & 0xF4) === 0xF0) {
    return settings.default_alphabet === 'gsm' ? smpp.gsmCoder.encode(text, 0) : Buffer.from(text, 'latin1');
  }
  if (dc === 1 || dc === 3) return Buffer.from(text, 'latin1');
  if (dc === 8) return Buffer.from(text, 'utf16le').swap16();
  throw new Error('give data_coding ' + dc + ' as hex');
}

// The text of a message body where its data_coding makes one; undefined
// where it is binary or not decodable.
function decodeText(body, dataCoding) {
  const dc = dataCoding & 0xFF;
  if (dc === 0 || (dc & 0xF4) === 0xF0) {
    return settings.default_alphabet === 'gsm' ? smpp.gsmCoder.decode(body, 0) : body.toString('latin1');
  }
  if (dc === 1 || dc === 3) return body.toString('latin1');
  if (dc === 8 && body.length % 2 === 0) return Buffer.from(body).swap16().toString('utf16le');
  return undefined;
}

// ---------------------------------------------------------------- decoding

// Decodes one PDU byte for byte as the log shows it; problems (fields that
// overrun the PDU, strings without NUL or too long, bytes left over) go to
// `problems`.
function decodePdu(raw) {
  const problems = [];
  const rec = {
    command_id: raw.readUInt32BE(4), status: raw.readUInt32BE(8), seq: raw.readUInt32BE(12),
    length: raw.length,
  };
  const def = smpp.commandsById[rec.command_id];
  rec.command = def ? def.command : 'unknown';
  const isResponse = (rec.command_id & 0x80000000) !== 0;
  let off = 16;
  const end = raw.length;
  const params = def ? (smpp.commands[def.command].params || {}) : {};
  for (const key of Object.keys(params)) {
    if (off >= end) {
      // An answer with an error status has no body.
      if (!(isResponse && rec.status !== 0)) problems.push('no ' + key + ': the PDU ends at byte ' + off);
      break;
    }
    const type = params[key].type;
    if (type === smpp.types.cstring) {
      const nul = raw.indexOf(0, off);
      if (nul < 0 || nul >= end) {
        problems.push(key + ' is not NUL-terminated within the PDU');
        off = end;
        break;
      }
      rec[key] = raw.toString('latin1', off, nul);
      const size = nul - off + 1;
      if (MAX_CSTRING[key] && size > MAX_CSTRING[key]) {
        problems.push(key + ' has ' + (size - 1) + ' octets, at most ' + (MAX_CSTRING[key] - 1) + ' fit');
      }
      if (TIME_FIELDS.has(key) && size !== 1 && size !== 17) {
        problems.push(key + ' "' + rec[key] + '" is neither empty nor 16 characters');
      }
      off = nul + 1;
    } else if (type === smpp.types.int8 || type === smpp.types.int16 || type === smpp.types.int32) {
      const size = type.size();
      if (off + size > end) {
        problems.push(key + ' overruns the PDU');
        off = end;
        break;
      }
      rec[key] = type.read(raw, off);
      off += size;
    } else if (type === smpp.types.buffer) {
      const length = raw[off];
      if (off + 1 + length > end) {
        problems.push(key + ' of ' + length + ' octets overruns the PDU');
        off = end;
        break;
      }
      if (key === 'short_message') {
        rec.sm_length = length;
        if (length > 254) problems.push('sm_length ' + length + ' is above 254');
      }
      rec[key] = raw.subarray(off + 1, off + 1 + length);
      off += 1 + length;
    } else {
      try {
        rec[key] = type.read(raw.subarray(0, end), off);
        off += type.size(rec[key]);
      } catch (e) {
        problems.push(key + ' cannot be read: ' + e.message);
        off = end;
        break;
      }
    }
  }
  const tlvs = {};
  while (off + 4 <= end) {
    const tag = raw.readUInt16BE(off);
    const length = raw.readUInt16BE(off + 2);
    const value = raw.subarray(off + 4, off + 4 + length);
    const known = smpp.tlvsById[tag];
    const name = known ? known.tag : '0x' + tag.toString(16).padStart(4, '0');
    if (off + 4 + length > end) {
      problems.push('TLV ' + name + ' of ' + length + ' octets overruns the PDU');
      off = end;
      break;
    }
    if (name in tlvs) problems.push('TLV ' + name + ' appears twice');
    const type = known ? known.type : smpp.types.tlv.buffer;
    if (type === smpp.types.tlv.int8 || type === smpp.types.tlv.int16 || type === smpp.types.tlv.int32) {
      if (length !== type.size()) {
        problems.push('TLV ' + name + ' has ' + length + ' octets, not ' + type.size());
        tlvs[name] = value.toString('hex');
      } else {
        tlvs[name] = type.read(raw, off + 4);
      }
    } else if (type === smpp.types.tlv.cstring) {
      if (length === 0 || value[length - 1] !== 0) problems.push('TLV ' + name + ' is not NUL-terminated');
      tlvs[name] = value.toString('latin1').replace(/\0$/, '');
    } else if (type === smpp.types.tlv.string) {
      tlvs[name] = value.toString('latin1');
    } else {
      tlvs[name] = value.toString('hex');
    }
    off += 4 + length;
  }
  if (off < end) problems.push((end - off) + ' octets after the last field');
  if (Object.keys(tlvs).length) rec.tlvs = tlvs;

  // The message body, its user data header and its text.
  let body = Buffer.isBuffer(rec.short_message) ? rec.short_message : null;
  if (rec.tlvs && typeof rec.tlvs.message_payload === 'string') {
    if (body && body.length) problems.push('both short_message and message_payload carry the message');
    body = Buffer.from(rec.tlvs.message_payload, 'hex');
  }
  if (Buffer.isBuffer(rec.short_message)) rec.short_message = rec.short_message.toString('hex');
  if (body && 'data_coding' in rec) {
    let userData = body;
    if ((rec.esm_class & 0x40) && body.length) {
      if (body[0] + 1 > body.length) {
        problems.push('the user data header of ' + body[0] + ' octets overruns the message');
        userData = null;
      } else {
        rec.udh = body.subarray(0, body[0] + 1).toString('hex');
        userData = body.subarray(body[0] + 1);
      }
    }
    if (userData) {
      if ((rec.data_coding & 0xFF) === 8 && userData.length % 2) problems.push('UCS-2 text of odd length');
      const text = decodeText(userData, rec.data_coding);
      if (text !== undefined) rec.text = text;
    }
  }
  if (!isResponse && rec.status !== 0) problems.push('a request with command_status ' + rec.status);
  return {rec, problems};
}

// ---------------------------------------------------------------- log

let logFd = -1;

function logRecord(record) {
  record.t = Date.now() / 1000;
  fs.writeSync(logFd, JSON.stringify(record) + '\n');
}

const counts = {
  accepted: 0, open: 0, closed: 0, closed_by_sim: 0, binds: 0, bind_failures: 0, submits: 0,
  submit_ok: 0, submit_errors: 0, nacks: 0, ignored: 0, held: 0, released: 0, dropped_answers: 0,
  delivers: 0, receipts: 0, deliver_resps: 0, enquire_in: 0, enquire_out: 0, enquire_resp_in: 0,
  unbinds: 0, violations: 0, pdus_in: 0, pdus_out: 0,
};

function violation(conn, text, seq) {
  counts.violations++;
  const record = {violation: text, conn: conn.id};
  if (seq !== undefined) record.seq = seq;
  logRecord(record);
}

function event(conn, name, extra) {
  logRecord(Object.assign({event: name, conn: conn ? conn.id : 0}, extra || {}));
}

// ---------------------------------------------------------------- connections

const connections = new Map();  // id -> Conn
let nextConnId = 1;
let nextMessageId = 1;
const messages = new Map();      // message id -> what a receipt needs
const held = [];                 // answers held back: {conn, pdu, after}
let failRule = {mode: 'off', status: 0, n: 0, seen: 0};

class Conn {
  constructor(session) {
    this.id = nextConnId++;
    this.session = session;
    this.socket = session.socket;
    // Answers go out at once, as an SMSC's do: with Nagle's algorithm each
    // small response would wait for the acknowledgement of the one before.
    if (this.socket && typeof this.socket.setNoDelay === 'function') this.socket.setNoDelay(true);
    this.state = 'open';         // open | tx | rx | trx | unbound
    this.system_id = '';
    this.nextSeq = 1;
    this.inbound = new Map();    // the client's requests not yet answered: seq -> command
    this.outbound = new Map();   // ours: seq -> command
    this.enquireTimer = null;
    this.closing = false;
    this.closed = false;
  }

  bound() { return this.state === 'tx' || this.state === 'rx' || this.state === 'trx'; }
  receives() { return this.state === 'rx' || this.state === 'trx'; }
}

function send(conn, pdu) {
  if (conn.closed || conn.closing || !conn.socket.writable) return false;
  if (!pdu.isResponse()) {
    pdu.sequence_number = conn.nextSeq++;
    if (conn.nextSeq > 0x7FFFFFFF) conn.nextSeq = 1;
    conn.outbound.set(pdu.sequence_number, pdu.command);
  } else {
    conn.inbound.delete(pdu.sequence_number);
  }
  const raw = pdu.toBuffer();
  const {rec} = decodePdu(raw);
  counts.pdus_out++;
  logRecord(Object.assign({dir: 'out', conn: conn.id}, rec, {raw: raw.toString('hex')}));
  conn.socket.write(raw);
  return true;
}

// Closes a connection at once: what was already sent still goes out, what
// the client sends from now on is neither read nor answered.
function closeConn(conn, why) {
  if (conn.closed || conn.closing) return;
  conn.closing = true;
  counts.closed_by_sim++;
  event(conn, 'close_by_sim', {why});
  conn.socket.end();
  setTimeout(() => conn.socket.destroy(), 1000).unref();
}

function startEnquireTimer(conn) {
  if (conn.enquireTimer) clearInterval(conn.enquireTimer);
  conn.enquireTimer = null;
  if (settings.enquire_interval > 0 && conn.bound()) {
    conn.enquireTimer = setInterval(() => {
      if (send(conn, new smpp.PDU('enquire_link'))) counts.enquire_out++;
    }, settings.enquire_interval);
  }
}

function newestReceiver(id) {
  if (id !== undefined) {
    const conn = connections.get(Number(id));
    if (!conn) throw new Error('no connection ' + id);
    if (!conn.receives()) throw new Error('connection ' + id + ' is not bound as receiver or transceiver');
    return conn;
  }
  const all = [...connections.values()].filter((c) => c.receives());
  if (!all.length) throw new Error('no connection is bound as receiver or transceiver');
  return all[all.length - 1];
}

// ---------------------------------------------------------------- PDUs in

function onPdu(conn, pdu) {
  // What was still buffered when the simulator closed the connection.
  if (conn.closing || conn.socket.destroyed) return;
  const raw = pdu.raw;
  const {rec, problems} = decodePdu(raw);
  counts.pdus_in++;
  logRecord(Object.assign({dir: 'in', conn: conn.id}, rec, {raw: raw.toString('hex')}));
  for (const p of problems) violation(conn, rec.command + ': ' + p, rec.seq);

  if (rec.command === 'unknown') {
    violation(conn, 'unknown command_id 0x' + rec.command_id.toString(16).padStart(8, '0'), rec.seq);
    send(conn, new smpp.PDU('generic_nack', {sequence_number: rec.seq, command_status: STATUS.ESME_RINVCMDID}));
    return;
  }
  if (pdu.isResponse()) return onResponse(conn, rec);

  if (conn.state === 'unbound') violation(conn, rec.command + ' after unbind', rec.seq);
  if (rec.seq === 0 || rec.seq > 0x7FFFFFFF) violation(conn, rec.command + ' with sequence number ' + rec.seq, rec.seq);
  if (conn.inbound.has(rec.seq)) {
    violation(conn, rec.command + ' reuses sequence number ' + rec.seq + ' of an unanswered ' + conn.inbound.get(rec.seq), rec.seq);
  }
  conn.inbound.set(rec.seq, rec.command);
  if (problems.length && rec.command !== 'enquire_link') {
    return send(conn, pdu.response({command_status: STATUS.ESME_RINVCMDLEN}));
  }

  if (rec.command in BINDS) return onBind(conn, pdu, rec);
  if (rec.command === 'enquire_link') {
    counts.enquire_in++;
    if (settings.enquire === 'ack') send(conn, pdu.response());
    return;
  }
  if (rec.command === 'unbind') {
    if (!conn.bound()) violation(conn, 'unbind without a bind', rec.seq);
    counts.unbinds++;
    conn.state = 'unbound';
    startEnquireTimer(conn);
    send(conn, pdu.response());
    conn.socket.end();
    return;
  }
  if (TRANSMITTER_REQUESTS.has(rec.command)) {
    if (!conn.bound()) {
      violation(conn, rec.command + ' before bind', rec.seq);
      return send(conn, pdu.response({command_status: STATUS.ESME_RINVBNDSTS}));
    }
    if (conn.state === 'rx') {
      violation(conn, rec.command + ' on a receiver bind', rec.seq);
      return send(conn, pdu.response({command_status: STATUS.ESME_RINVBNDSTS}));
    }
    if (rec.command === 'submit_sm') return onSubmit(conn, pdu, rec);
    return send(conn, pdu.response({command_status: STATUS.ESME_RINVCMDID}));
  }
  // deliver_sm, alert_notification, outbind: not for an ESME to send.
  violation(conn, rec.command + ' from the client', rec.seq);
  send(conn, new smpp.PDU('generic_nack', {sequence_number: rec.seq, command_status: STATUS.ESME_RINVCMDID}));
}

function onResponse(conn, rec) {
  const request = conn.outbound.get(rec.seq);
  if (request === undefined) {
    if (!(rec.command === 'generic_nack' && rec.seq === 0)) {
      violation(conn, rec.command + ' answers sequence number ' + rec.seq + ', which is not outstanding', rec.seq);
    }
    return;
  }
  if (rec.command !== request + '_resp' && rec.command !== 'generic_nack') {
    violation(conn, rec.command + ' answers ' + request + ' ' + rec.seq, rec.seq);
  }
  conn.outbound.delete(rec.seq);
  if (request === 'deliver_sm') counts.deliver_resps++;
  if (request === 'enquire_link') counts.enquire_resp_in++;
  if (request === 'unbind') conn.socket.end();
}

function onBind(conn, pdu, rec) {
  if (conn.state !== 'open') {
    violation(conn, rec.command + ' on a connection already bound', rec.seq);
    return send(conn, pdu.response({command_status: STATUS.ESME_RALYBND}));
  }
  let status = 0;
  if (settings.bind === 'refuse') status = settings.bind_status;
  else if (rec.system_id !== settings.system_id) status = STATUS.ESME_RBINDFAIL;
  else if (rec.password !== settings.password) status = STATUS.ESME_RINVPASWD;
  if (status) {
    counts.bind_failures++;
    event(conn, 'bind_refused', {system_id: rec.system_id, status});
    send(conn, pdu.response({command_status: status}));
    if (settings.bind_fail_close) conn.socket.end();
    return;
  }
  counts.binds++;
  conn.state = BINDS[rec.command];
  conn.system_id = rec.system_id;
  event(conn, 'bound', {as: conn.state, system_id: rec.system_id});
  send(conn, pdu.response({system_id: 'smppsim', sc_interface_version: 0x34}));
  startEnquireTimer(conn);
}

function nextStatus() {
  const rule = failRule;
  if (rule.mode === 'all') return rule.status;
  if (rule.mode === 'next' && rule.n > 0) {
    rule.n--;
    return rule.status;
  }
  if (rule.mode === 'every') {
    rule.seen++;
    if (rule.seen % rule.n === 0) return rule.status;
  }
  return 0;
}

function onSubmit(conn, pdu, rec) {
  counts.submits++;
  if (settings.close_after > 0 && --settings.close_after === 0) {
    return closeConn(conn, 'close_after');
  }
  const status = nextStatus();
  let answer;
  let messageId = null;
  if (settings.submit === 'nack') {
    counts.nacks++;
    answer = new smpp.PDU('generic_nack', {sequence_number: rec.seq, command_status: settings.nack_status});
  } else if (status) {
    counts.submit_errors++;
    answer = pdu.response({command_status: status});
  } else {
    counts.submit_ok++;
    const n = nextMessageId++;
    messageId = settings.id_format === 'hex' ? n.toString(16).toUpperCase().padStart(8, '0') : String(n);
    messages.set(messageId, {
      source_addr: rec.source_addr, source_addr_ton: rec.source_addr_ton,
      source_addr_npi: rec.source_addr_npi, destination_addr: rec.destination_addr,
      dest_addr_ton: rec.dest_addr_ton, dest_addr_npi: rec.dest_addr_npi,
      text: rec.text || '', submitted: new Date(),
    });
    answer = pdu.response({message_id: messageId});
  }
  const wantsReceipt = messageId && settings.receipts === 'on' && (
    (rec.registered_delivery & 3) === 1 ||
    ((rec.registered_delivery & 3) === 2 && settings.receipt_stat !== 'DELIVRD'));
  const after = wantsReceipt ? () => setTimeout(() => {
    try {
      sendReceipt({message_id: messageId, stat: settings.receipt_stat, err: settings.receipt_err}, conn);
    } catch (e) {
      event(conn, 'receipt_not_sent', {message_id: messageId, why: e.message});
    }
  }, settings.receipt_delay) : null;
  if (settings.submit === 'ignore') {
    counts.ignored++;
    return;
  }
  if (settings.submit === 'hold') {
    counts.held++;
    held.push({conn, answer, after});
    return;
  }
  const go = () => {
    if (send(conn, answer) && after) after();
  };
  if (settings.submit_delay > 0) setTimeout(go, settings.submit_delay);
  else go();
}

// ---------------------------------------------------------------- PDUs out

function dateYYMMDDhhmm(d) {
  const two = (n) => String(n).padStart(2, '0');
  return two(d.getFullYear() % 100) + two(d.getMonth() + 1) + two(d.getDate()) + two(d.getHours()) + two(d.getMinutes());
}

// The ton and npi of one address from the options (0 where not given).
function addressOptions(options, prefix) {
  const out = {};
  for (const key of ['addr_ton', 'addr_npi']) {
    const name = prefix === 'source' ? 'source_' + key : 'dest_' + key;
    out[name] = options[name] || 0;
  }
  return out;
}

// A deliver_sm with a received message: {source_addr, destination_addr,
// text or hex, data_coding, udh (hex), esm_class, payload (true: the
// message in message_payload), ton/npi, service_type, registered_delivery,
// conn}.
function deliverMessage(options) {
  const conn = newestReceiver(options.conn);
  const dataCoding = options.data_coding || 0;
  let body = options.hex !== undefined ? Buffer.from(options.hex, 'hex') : encodeText(options.text || '', dataCoding);
  let esmClass = options.esm_class || 0;
  if (options.udh) {
    body = Buffer.concat([Buffer.from(options.udh, 'hex'), body]);
    esmClass |= 0x40;
  }
  const fields = Object.assign({
    service_type: options.service_type || '',
    source_addr: options.source_addr || '', destination_addr: options.destination_addr || '',
    esm_class: esmClass, data_coding: dataCoding,
    registered_delivery: options.registered_delivery || 0,
  }, addressOptions(options, 'source'), addressOptions(options, 'dest'));
  if (options.payload) {
    fields.short_message = Buffer.alloc(0);
    fields.message_payload = body;
  } else {
    fields.short_message = body;
  }
  const pdu = new smpp.PDU('deliver_sm', fields);
  if (!send(conn, pdu)) throw new Error('connection ' + conn.id + ' is closed');
  counts.delivers++;
  return {seq: pdu.sequence_number, conn: conn.id};
}

// The start of a message as a receipt quotes it: 20 characters, those the
// GSM default alphabet and ASCII write alike, any other as "?".
function receiptText(text) {
  return [...text].slice(0, 20).map((c) => (/[A-Za-z0-9 !"#%&'()*+,\-./:;<=>?]/.test(c) ? c : '?')).join('');
}

// A delivery receipt for a message id: {message_id, stat, err, text,
// submit_date, done_date, dlvrd, source_addr, destination_addr, tlvs
// (false: without receipted_message_id and message_state), conn}.
function sendReceipt(options, defaultConn) {
  if (!options.message_id) throw new Error('a receipt needs message_id');
  const original = messages.get(options.message_id) || {};
  let conn;
  if (options.conn === undefined && defaultConn && defaultConn.receives()) conn = defaultConn;
  else conn = newestReceiver(options.conn);
  const stat = options.stat || 'DELIVRD';
  if (!(stat in RECEIPT_STATES)) throw new Error('stat is one of ' + Object.keys(RECEIPT_STATES).join('|'));
  const now = new Date();
  const text = 'id:' + options.message_id + ' sub:001 dlvrd:' +
    (options.dlvrd || (stat === 'DELIVRD' ? '001' : '000')) +
    ' submit date:' + (options.submit_date || dateYYMMDDhhmm(original.submitted || now)) +
    ' done date:' + (options.done_date || dateYYMMDDhhmm(now)) +
    ' stat:' + stat + ' err:' + (options.err || '000') +
    ' text:' + (options.text !== undefined ? options.text : receiptText(original.text || ''));
  // The receipt comes from the message's recipient to its sender.
  const fields = {
    source_addr: options.source_addr !== undefined ? options.source_addr : (original.destination_addr || ''),
    source_addr_ton: original.dest_addr_ton || 0, source_addr_npi: original.dest_addr_npi || 0,
    destination_addr: options.destination_addr !== undefined ? options.destination_addr : (original.source_addr || ''),
    dest_addr_ton: original.source_addr_ton || 0, dest_addr_npi: original.source_addr_npi || 0,
    esm_class: 0x04, data_coding: 0, short_message: encodeText(text, 0),
  };
  if (options.tlvs !== false) {
    fields.receipted_message_id = options.message_id;
    fields.message_state = RECEIPT_STATES[stat];
  }
  const pdu = new smpp.PDU('deliver_sm', fields);
  if (!send(conn, pdu)) throw new Error('connection ' + conn.id + ' is closed');
  counts.receipts++;
  return {seq: pdu.sequence_number, conn: conn.id, text};
}

function release(order, count) {
  const n = count === undefined ? held.length : Math.min(count, held.length);
  const batch = held.splice(0, n);
  if (order === 'reverse') batch.reverse();
  let sent = 0;
  for (const item of batch) {
    if (send(item.conn, item.answer)) {
      sent++;
      counts.released++;
      if (item.after) item.after();
    } else {
      counts.dropped_answers++;
    }
  }
  return sent;
}

// ---------------------------------------------------------------- control

// Control commands, one per line; every answer is one line, "OK" with a
// JSON object or "ERR why".
//   set KEY VALUE            change a setting (see `settings`)
//   fail STATUS every N | next N | all      error status for submissions
//   fail off
//   release [order|reverse] [N]   send held answers (all or the first N)
//   deliver JSON             a received message (see deliverMessage)
//   receipt JSON             a delivery receipt (see sendReceipt)
//   enquire [CONN]           an enquire_link now
//   unbind [CONN]            an unbind now
//   close [CONN]             close one connection or all at once
//   counts | config | ports | connections | flush | quit
function command(line) {
  const [verb, ...rest] = line.trim().split(/\s+/);
  const restText = line.trim().slice(verb.length).trim();
  switch (verb) {
    case 'set':
      if (rest.length < 1) throw new Error('usage: set KEY VALUE');
      applySetting(rest[0], rest.slice(1).join(' '));
      return {};
    case 'fail': {
      if (rest[0] === 'off') {
        failRule = {mode: 'off', status: 0, n: 0, seen: 0};
        return {};
      }
      const status = parseStatus(rest[0]);
      const mode = rest[1];
      if (mode === 'all') failRule = {mode, status, n: 0, seen: 0};
      else if ((mode === 'every' || mode === 'next') && rest[2] !== undefined && parseNumber(rest[2]) > 0) {
        failRule = {mode, status, n: parseNumber(rest[2]), seen: 0};
      } else {
        throw new Error('usage: fail STATUS every N|next N|all, or fail off');
      }
      return {};
    }
    case 'release': {
      let order = 'order';
      let count;
      for (const word of rest) {
        if (word === 'order' || word === 'reverse') order = word;
        else count = parseNumber(word);
      }
      return {released: release(order, count), held: held.length};
    }
    case 'deliver':
      return deliverMessage(JSON.parse(restText || '{}'));
    case 'receipt':
      return sendReceipt(JSON.parse(restText || '{}'));
    case 'enquire': {
      const conns = rest[0] !== undefined ? [connections.get(Number(rest[0]))] : [...connections.values()].filter((c) => c.bound());
      const seqs = [];
      for (const conn of conns) {
        if (!conn) throw new Error('no connection ' + rest[0]);
        const pdu = new smpp.PDU('enquire_link');
        if (send(conn, pdu)) {
          counts.enquire_out++;
          seqs.push(pdu.sequence_number);
        }
      }
      return {seqs};
    }
    case 'unbind': {
      const conn = rest[0] !== undefined ? connections.get(Number(rest[0])) : [...connections.values()].filter((c) => c.bound()).pop();
      if (!conn) throw new Error('no bound connection');
      const pdu = new smpp.PDU('unbind');
      send(conn, pdu);
      conn.state = 'unbound';
      startEnquireTimer(conn);
      return {seq: pdu.sequence_number, conn: conn.id};
    }
    case 'close': {
      const conns = rest[0] !== undefined ? [connections.get(Number(rest[0]))].filter(Boolean) : [...connections.values()];
      for (const conn of conns) closeConn(conn, 'command');
      return {closed: conns.length};
    }
    case 'counts':
      return Object.assign({}, counts, {open: connections.size, held_now: held.length});
    case 'config':
      return Object.assign({}, settings, {fail: failRule});
    case 'ports':
      return {smpp_port: smppServer.address().port, control_port: controlServer.address().port};
    case 'connections':
      return {connections: [...connections.values()].map((c) => ({
        conn: c.id, state: c.state, system_id: c.system_id,
        unanswered_by_client: [...c.outbound.keys()], unanswered_by_sim: [...c.inbound.keys()],
      }))};
    case 'flush':
      return {};
    case 'quit':
      setImmediate(shutdown);
      return {};
    default:
      throw new Error('unknown command ' + verb);
  }
}

function onControl(socket) {
  let buffer = '';
  socket.setEncoding('utf8');
  socket.on('data', (data) => {
    buffer += data;
    let nl;
    while ((nl = buffer.indexOf('\n')) >= 0) {
      const line = buffer.slice(0, nl);
      buffer = buffer.slice(nl + 1);
      if (!line.trim()) continue;
      let answer;
      try {
        answer = 'OK ' + JSON.stringify(command(line));
      } catch (e) {
        answer = 'ERR ' + e.message.replace(/\n/g, ' ');
      }
      socket.write(answer + '\n');
    }
  });
  socket.on('error', () => {});
}

// ---------------------------------------------------------------- main

// The session reads PDUs through PDU.fromStream; this keeps every PDU's
// bytes for the log, and turns a body the library cannot parse into an
// "unknown" PDU instead of a stalled session.
smpp.PDU.fromStream = function (stream, commandLength) {
  if (commandLength < 16) {
    const e = new Error('command_length ' + commandLength + ' is shorter than the header');
    e.violation = true;
    throw e;
  }
  const rest = stream.read(commandLength - 4);
  if (!rest) return false;
  const head = Buffer.alloc(4);
  head.writeUInt32BE(commandLength, 0);
  const raw = Buffer.concat([head, rest]);
  let pdu;
  try {
    pdu = new smpp.PDU(raw);
  } catch (e) {
    pdu = Object.create(smpp.PDU.prototype);
    Object.assign(pdu, {command: 'unknown', command_id: raw.readUInt32BE(4), command_status: 0,
                        sequence_number: raw.readUInt32BE(12)});
  }
  pdu.raw = raw;
  return pdu;
};

let smppServer;
let controlServer;

function onSession(session) {
  const conn = new Conn(session);
  connections.set(conn.id, conn);
  counts.accepted++;
  event(conn, 'connect', {peer_port: session.socket.remotePort});
  session.socket.setNoDelay(true);
  session.on('pdu', (pdu) => {
    try {
      onPdu(conn, pdu);
    } catch (e) {
      event(conn, 'internal_error', {why: e.stack});
    }
  });
  session.on('error', (e) => {
    if (e.code) {
      event(conn, 'socket_error', {why: e.message});
    } else {
      violation(conn, 'unreadable PDU: ' + e.message);
      conn.socket.destroy();
    }
  });
  session.on('close', () => {
    if (conn.closed) return;
    conn.closed = true;
    counts.closed++;
    if (conn.enquireTimer) clearInterval(conn.enquireTimer);
    connections.delete(conn.id);
    for (let i = held.length - 1; i >= 0; i--) {
      if (held[i].conn === conn) {
        held.splice(i, 1);
        counts.dropped_answers++;
      }
    }
    event(conn, 'close', {unanswered_by_client: [...conn.outbound.keys()],
                          unanswered_by_sim: [...conn.inbound.keys()]});
  });
}

function shutdown() {
  for (const conn of connections.values()) conn.socket.destroy();
  smppServer.close();
  controlServer.close();
  setTimeout(() => process.exit(0), 50).unref();
}

function main(argv) {
  let port = 0;
  let controlPort = 0;
  let logPath = 'smppsim.jsonl';
  let tlsCert = null;
  let tlsKey = null;
  const initial = [];
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    const value = () => {
      if (i + 1 >= argv.length) throw new Error(a + ' needs a value');
      return argv[++i];
    };
    if (a === '--port') port = parseNumber(value());
    else if (a === '--control-port') controlPort = parseNumber(value());
    else if (a === '--system-id') settings.system_id = value();
    else if (a === '--password') settings.password = value();
    else if (a === '--log') logPath = value();
    else if (a === '--set') initial.push(value());
    else if (a === '--tls-cert') tlsCert = value();
    else if (a === '--tls-key') tlsKey = value();
    else if (a === '--help' || a === '-h') {
      process.stdout.write(USAGE);
      process.exit(0);
    } else {
      throw new Error('unknown option ' + a);
    }
  }
  for (const item of initial) {
    const eq = item.indexOf('=');
    if (eq < 0) throw new Error('--set wants KEY=VALUE: ' + item);
    applySetting(item.slice(0, eq), item.slice(eq + 1));
  }
  logFd = fs.openSync(logPath, 'a');
  if ((tlsCert === null) !== (tlsKey === null)) throw new Error('--tls-cert and --tls-key go together');
  smppServer = tlsCert === null ? smpp.createServer(onSession)
    : smpp.createServer({cert: fs.readFileSync(tlsCert), key: fs.readFileSync(tlsKey)}, onSession);
  controlServer = net.createServer(onControl);
  smppServer.on('error', (e) => { process.stderr.write('smppsim: ' + e.message + '\n'); process.exit(1); });
  controlServer.on('error', (e) => { process.stderr.write('smppsim: ' + e.message + '\n'); process.exit(1); });
  smppServer.listen(port, '127.0.0.1', () => {
    controlServer.listen(controlPort, '127.0.0.1', () => {
      process.stdout.write('smppsim: smpp_port=' + smppServer.address().port +
                           ' control_port=' + controlServer.address().port + '\n');
    });
  });
  process.on('SIGTERM', shutdown);
  process.on('SIGINT', shutdown);
}

try {
  main(process.argv.slice(2));
} catch (e) {
  process.stderr.write('smppsim: ' + e.message + '\n' + USAGE);
  process.exit(2);
}
