'use strict';
// The users of a --users file: one "NAME:HASH" a line, blank lines and lines starting with
// '#' left out. A hash is "scrypt$N$r$p$SALT$KEY" (salt and key in base64), as
// `ksym opcua --hash-password` makes it; a plain password is refused, so that none is kept
// in the file.

const crypto = require('node:crypto');
const fs = require('node:fs');

const COST = { N: 16384, r: 8, p: 1 };
const KEY_BYTES = 32;
const SALT_BYTES = 16;
// scrypt's memory is 128 * N * r bytes; a hash asking for more is not one of ours.
const MAX_MEMORY = 64 * 1024 * 1024;

function hashPassword(password) {
  const salt = crypto.randomBytes(SALT_BYTES);
  const key = crypto.scryptSync(password, salt, KEY_BYTES, { ...COST, maxmem: MAX_MEMORY });
  return ['scrypt', COST.N, COST.r, COST.p, salt.toString('base64'), key.toString('base64')]
    .join('$');
}

// The parts of a hash, or null when the text is not one.
function parseHash(text) {
  const parts = text.split('$');
  if (parts.length !== 6 || parts[0] !== 'scrypt') return null;
  const [N, r, p] = parts.slice(1, 4).map(Number);
  const salt = Buffer.from(parts[4], 'base64');
  const key = Buffer.from(parts[5], 'base64');
  const powerOfTwo = Number.isInteger(N) && N > 1 && (N & (N - 1)) === 0;
  if (!powerOfTwo || !Number.isInteger(r) || r < 1 || !Number.isInteger(p) || p < 1 ||
      p > 16 || 128 * N * r > MAX_MEMORY || salt.length < 8 || key.length < 16) {
    return null;
  }
  return { N, r, p, salt, key };
}

// Name to parsed hash; throws with the line that is wrong.
function loadUsers(path) {
  const users = new Map();
  const lines = fs.readFileSync(path, 'utf8').split(/\r?\n/);
  lines.forEach((line, k) => {
    const text = line.trim();
    if (text === '' || text.startsWith('#')) return;
    const colon = text.indexOf(':');
    const name = colon > 0 ? text.slice(0, colon) : '';
    const hash = colon > 0 ? parseHash(text.slice(colon + 1)) : null;
    if (name === '' || hash === null) {
      throw new Error(`${path}, line ${k + 1}: not NAME:HASH with a hash of ` +
                      '`ksym opcua --hash-password` (plain passwords are not taken)');
    }
    users.set(name, hash);
  });
  if (users.size === 0) throw new Error(`${path} names no user`);
  return users;
}

let standIn = null;

// Whether `password` is the one of `name`; the same work is done for an unknown name.
function isValidUser(users, name, password) {
  const known = users.get(name);
  standIn = standIn || parseHash(hashPassword(''));
  const hash = known || standIn; // for an unknown name: the same work, never a match
  if (typeof password !== 'string') return false;
  const key = crypto.scryptSync(password, hash.salt, hash.key.length,
                                { N: hash.N, r: hash.r, p: hash.p, maxmem: MAX_MEMORY });
  return crypto.timingSafeEqual(key, hash.key) && known !== undefined;
}

module.exports = { hashPassword, loadUsers, isValidUser, parseHash };
