// SPDX-License-Identifier: MIT
'use strict';
// Drives aimheadd's ONVIF port with the npm `onvif` client, as Scrypted and
// Node-RED do: connects, then runs the steps it is given, one JSON line out
// per step. Usage: node npm_client.js PORT USER PASSWORD STEPS_JSON, where
// each step is {"op": "absoluteMove", "args": {...}} (a Cam method) or
// {"op": "sleep", "ms": N}. The whole run is bounded by a deadline.
const { Cam } = require('onvif');

const [port, username, password, stepsJson] = process.argv.slice(2);
const steps = JSON.parse(stepsJson);
const kDeadlineMs = 30000;

function now() {
  // CLOCK_MONOTONIC, as aimsim's trace stamps its frames.
  return Number(process.hrtime.bigint()) / 1e9;
}

function emit(line) {
  process.stdout.write(JSON.stringify(line) + '\n');
}

function connect() {
  return new Promise((resolve, reject) => {
    const cam = new Cam({ hostname: '127.0.0.1', port: Number(port), username, password, timeout: 5000,
      autoconnect: false });
    cam.connect((error) => (error ? reject(error) : resolve(cam)));
  });
}

function run(cam, step) {
  if (step.op === 'sleep')
    return new Promise((resolve) => setTimeout(() => resolve(null), step.ms));
  return new Promise((resolve, reject) => {
    const done = (error, result) => (error ? reject(error) : resolve(result === undefined ? null : result));
    if (step.args === undefined)
      cam[step.op](done);
    else
      cam[step.op](step.args, done);
  });
}

async function main() {
  const started = now();
  let cam;
  try {
    cam = await connect();
  } catch (error) {
    emit({ op: 'connect', ok: false, error: String(error.message || error), sent: started });
    return 1;
  }
  emit({ op: 'connect', ok: true, sent: started, profiles: cam.profiles.map((p) => p.$.token),
    uri: Object.fromEntries(Object.entries(cam.uri).map(([k, v]) => [k, v.href])) });
  for (const step of steps) {
    const sent = now();
    try {
      const result = await run(cam, step);
      emit({ op: step.op, ok: true, sent, done: now(), result });
    } catch (error) {
      emit({ op: step.op, ok: false, sent, error: String(error.message || error) });
    }
  }
  return 0;
}

const deadline = setTimeout(() => {
  emit({ op: 'deadline', ok: false, error: `not done within ${kDeadlineMs} ms` });
  process.exit(3);
}, kDeadlineMs);
main().then((status) => {
  clearTimeout(deadline);
  process.exit(status);
});
