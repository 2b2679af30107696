'use strict';
// The gateway's conversions on their own: what a client's write turns into before anything is
// sent (and what is refused), the values of ksym's interface as Variants, and the users file.

const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { gatewayRequire, temporaryFolder } = require('./processes');

const gateway = path.dirname(gatewayRequire.resolve('./gateway.js'));
const types = require(path.join(gateway, 'lib', 'types'));
const users = require(path.join(gateway, 'lib', 'users'));
const { DataType, Variant, VariantArrayType, StatusCodes } = gatewayRequire('node-opcua');

const symbol = (type, kind, size) => ({ name: 'V', type, kind, size });
const write = (sym, dataType, value, arrayType = VariantArrayType.Scalar) =>
  types.writeValueOf(types.typeOf(sym), sym, new Variant({ dataType, value, arrayType }));

test('writes: what fits becomes ksym write\'s value, what does not is refused unsent', () => {
  const time = symbol('TIME', 'unsigned', 4);
  assert.deepEqual(write(time, DataType.Double, 4294967295), { value: 4294967295 });
  for (const value of [-1, 1.5, 4294967296, NaN]) {
    assert.deepEqual(write(time, DataType.Double, value), { statusCode: StatusCodes.BadOutOfRange },
                     String(value));
  }
  assert.deepEqual(write(time, DataType.UInt32, 5), { statusCode: StatusCodes.BadTypeMismatch });

  // Seconds since 1970, least significant byte first, the milliseconds dropped, the rest zero.
  const stamp = symbol('DATE_AND_TIME', 'bytes', 8);
  assert.deepEqual(write(stamp, DataType.DateTime, new Date(0x01020304 * 1000 + 999)),
                   { value: '0403020100000000' });
  for (const when of [new Date(-1000), new Date(2 ** 32 * 1000)]) {
    assert.deepEqual(write(stamp, DataType.DateTime, when), { statusCode: StatusCodes.BadOutOfRange });
  }

  // A text leaves room for its NUL, counted in bytes; a NUL inside would cut it short.
  const text = symbol('STR20', 'text', 21);
  assert.deepEqual(write(text, DataType.String, 'é'.repeat(10)), { value: 'é'.repeat(10) });
  assert.deepEqual(write(text, DataType.String, 'é'.repeat(11)), { statusCode: StatusCodes.BadOutOfRange });
  assert.deepEqual(write(text, DataType.String, 'a\0b'), { statusCode: StatusCodes.BadOutOfRange });

  // 64-bit integers keep every bit, as decimal text.
  const lint = symbol('LINT', 'signed', 8);
  assert.deepEqual(write(lint, DataType.Int64, [0xffffffff, 0xfffffffe]), { value: '-2' });
  const ulint = symbol('ULINT', 'unsigned', 8);
  assert.deepEqual(write(ulint, DataType.UInt64, [0xffffffff, 0xffffffff]),
                   { value: '18446744073709551615' });

  const block = symbol('MOTOR_DB', 'bytes', 3);
  assert.deepEqual(write(block, DataType.ByteString, Buffer.from([1, 2, 255])), { value: '0102ff' });
  assert.deepEqual(write(block, DataType.ByteString, Buffer.from([1, 2])),
                   { statusCode: StatusCodes.BadOutOfRange });
  const array = symbol('INTARR4', 'intarray', 8);
  assert.deepEqual(write(array, DataType.Int16, new Int16Array([1, -2, 3, 4]), VariantArrayType.Array),
                   { value: [1, -2, 3, 4] });
  assert.deepEqual(write(array, DataType.Int16, 1), { statusCode: StatusCodes.BadTypeMismatch });
  const real = symbol('REAL', 'float', 4);
  assert.deepEqual(write(real, DataType.Float, NaN), { value: 'nan' });
  assert.deepEqual(write(real, DataType.Float, -Infinity), { value: '-inf' });
});

test('values: the interface\'s JSON as Variants, and nothing for a value of another shape', () => {
  const of = (sym, value) => types.variantOf(types.typeOf(sym), value);
  assert.equal(of(symbol('DATE_AND_TIME', 'bytes', 8), '0403020100000000').value.getTime(),
               0x01020304 * 1000);
  assert.equal(of(symbol('DATE_AND_TIME', 'bytes', 8), '04'), null);
  assert.equal(of(symbol('DATA', 'bytes', 2), 'zz'), null);
  assert.equal(of(symbol('DATA', 'bytes', 2), 'abc'), null);
  assert.ok(Number.isNaN(of(symbol('LREAL', 'float', 8), 'nan').value));
  assert.equal(of(symbol('LREAL', 'float', 8), 'x'), null);
  assert.equal(of(symbol('INT', 'signed', 2), '5'), null);
  assert.equal(of(symbol('INTARR4', 'intarray', 8), [1, 2, 3]), null);
  assert.equal(of(symbol('INTARR4', 'intarray', 8), [1, 2, 3, 4]).arrayType, VariantArrayType.Array);
  assert.equal(of(symbol('BOOL', 'bool', 1), 1), null);
  assert.deepEqual(of(symbol('ULINT', 'unsigned', 8), 2 ** 40 + 5).value, [256, 5]);
  // A TIME of another size than four bytes is a plain integer; an odd DATE_AND_TIME is bytes.
  assert.equal(types.typeOf(symbol('TIME', 'unsigned', 8)).dataType, DataType.UInt64);
  assert.equal(types.typeOf(symbol('DATE_AND_TIME', 'bytes', 6)).dataType, DataType.ByteString);
  assert.equal(types.typeOf(symbol('REAL', 'float', 2)).dataType, DataType.ByteString);
});

test('users: hashes only, checked in full, and no hash that asks for unbounded work', () => {
  const hash = users.hashPassword('open sesame');
  const folder = temporaryFolder('hash');
  const file = path.join(folder, 'users');
  fs.writeFileSync(file, `\n# operators\nalice:${hash}\r\n`);
  const known = users.loadUsers(file);
  assert.ok(users.isValidUser(known, 'alice', 'open sesame'));
  assert.ok(!users.isValidUser(known, 'alice', 'open sesame '));
  assert.ok(!users.isValidUser(known, 'bob', 'open sesame'));
  assert.ok(!users.isValidUser(known, 'alice', undefined));
  const parts = hash.split('$');
  for (const bad of ['alice:open sesame', `alice:scrypt$1048576$8$1$${parts[4]}$${parts[5]}`,
                     `alice:scrypt$1000$8$1$${parts[4]}$${parts[5]}`, `:${hash}`, '# nobody']) {
    fs.writeFileSync(file, bad + '\n');
    assert.throws(() => users.loadUsers(file), undefined, bad);
  }
});
