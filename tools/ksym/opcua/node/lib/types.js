'use strict';
// The OPC UA data type of each variable, and its values both ways: from the JSON values of
// ksym's interface (`ksym --json read`) into Variants, and from a client's Variant into the
// value ksym write takes. Every write is checked here first, so that a value that does not
// fit its variable is refused before anything is sent.
//   bool BOOL                     Boolean
//   unsigned of 1, 2, 4, 8 bytes  Byte, UInt16, UInt32, UInt64 (TIME: Duration, in ms)
//   signed of 1, 2, 4, 8 bytes    SByte, Int16, Int32, Int64
//   float of 4, 8 bytes           Float, Double
//   text (STR...)                 String
//   intarray (...ARR..., MATRIX)  array of Int16
//   DATE_AND_TIME                 DateTime, from the seconds since 1970-01-01 UTC in the
//                                 variable's first four bytes, least significant first
//   anything else                 ByteString

const { DataType, Variant, VariantArrayType, StatusCodes } = require('node-opcua');

const UNSIGNED = { 1: DataType.Byte, 2: DataType.UInt16, 4: DataType.UInt32, 8: DataType.UInt64 };
const SIGNED = { 1: DataType.SByte, 2: DataType.Int16, 4: DataType.Int32, 8: DataType.Int64 };
const FLOATS = { 4: DataType.Float, 8: DataType.Double };
const TWO_32 = 4294967296;
// A DATE_AND_TIME holds the seconds since 1970 in its first four bytes.
const DATE_SECONDS_BYTES = 4;

function sameName(a, b) {
  return String(a).toUpperCase() === String(b).toUpperCase();
}

// How a variable looks in the address space: { dataType (a DataType or 'Duration'),
// builtIn (the DataType its Variants carry), valueRank, arrayDimensions, count }.
function typeOf(symbol) {
  const size = Number(symbol.size) || 0;
  const scalar = (dataType) => ({ dataType, builtIn: dataType, valueRank: -1 });
  switch (symbol.kind) {
    case 'bool':
      return scalar(DataType.Boolean);
    case 'unsigned':
      if (sameName(symbol.type, 'TIME') && size === 4) {
        return { dataType: 'Duration', builtIn: DataType.Double, valueRank: -1 };
      }
      if (UNSIGNED[size] !== undefined) return scalar(UNSIGNED[size]);
      break;
    case 'signed':
      if (SIGNED[size] !== undefined) return scalar(SIGNED[size]);
      break;
    case 'float':
      if (FLOATS[size] !== undefined) return scalar(FLOATS[size]);
      break;
    case 'text':
      return scalar(DataType.String);
    case 'intarray': {
      const count = Math.floor(size / 2);
      return { dataType: DataType.Int16, builtIn: DataType.Int16, valueRank: 1,
               arrayDimensions: [count], count };
    }
    default:
      break;
  }
  if (sameName(symbol.type, 'DATE_AND_TIME') && (size === 4 || size === 8)) {
    return scalar(DataType.DateTime);
  }
  return scalar(DataType.ByteString);
}

// A value of the variable's own type, for the time before anything was read.
function emptyValue(type) {
  switch (type.builtIn) {
    case DataType.Boolean:
      return false;
    case DataType.String:
      return '';
    case DataType.DateTime:
      return new Date(0);
    case DataType.ByteString:
      return Buffer.alloc(0);
    case DataType.Int64:
    case DataType.UInt64:
      return [0, 0];
    default:
      return type.valueRank === 1 ? new Int16Array(type.count) : 0;
  }
}

// The Variant of the value a variable holds before anything was read.
function emptyVariant(type) {
  return variant(type, emptyValue(type));
}

function variant(type, value) {
  return new Variant({
    dataType: type.builtIn,
    arrayType: type.valueRank === 1 ? VariantArrayType.Array : VariantArrayType.Scalar,
    value,
  });
}

function hexBytes(text) {
  return typeof text === 'string' && /^([0-9a-fA-F]{2})*$/.test(text)
    ? Buffer.from(text, 'hex') : null;
}

// A 64-bit integer as node-opcua holds it: [high, low] 32-bit words.
function words64(number, signed) {
  let big = BigInt.asUintN(64, BigInt(Math.trunc(number)));
  if (!signed && number < 0) big = 0n;
  return [Number(big >> 32n), Number(big & 0xffffffffn)];
}

// The Variant for a JSON value of ksym's interface; null when it does not have the shape
// the variable's type promises (the value is then not taken).
function variantOf(type, value) {
  switch (type.builtIn) {
    case DataType.Boolean:
      return typeof value === 'boolean' ? variant(type, value) : null;
    case DataType.Float:
    case DataType.Double: {
      const special = { nan: NaN, inf: Infinity, '-inf': -Infinity };
      if (typeof value === 'string' && value in special) return variant(type, special[value]);
      return typeof value === 'number' ? variant(type, value) : null;
    }
    case DataType.String:
      return typeof value === 'string' ? variant(type, value) : null;
    case DataType.DateTime: {
      const bytes = hexBytes(value);
      if (bytes === null || bytes.length < DATE_SECONDS_BYTES) return null;
      return variant(type, new Date(bytes.readUInt32LE(0) * 1000));
    }
    case DataType.ByteString: {
      const bytes = hexBytes(value);
      return bytes === null ? null : variant(type, bytes);
    }
    case DataType.Int64:
    case DataType.UInt64:
      return typeof value === 'number' ? variant(type, words64(value, type.builtIn === DataType.Int64))
        : null;
    default:
      break;
  }
  if (type.valueRank === 1) {
    if (!Array.isArray(value) || value.length !== type.count ||
        !value.every((element) => Number.isInteger(element))) {
      return null;
    }
    return variant(type, Int16Array.from(value));
  }
  return Number.isFinite(value) ? variant(type, value) : null;
}

function refused(statusCode) {
  return { statusCode };
}

// The value ksym write takes for a client's Variant: { value } (a JSON value), or
// { statusCode } when it cannot be written: BadTypeMismatch for a Variant of another type,
// BadOutOfRange for one of the right type that the variable cannot hold.
function writeValueOf(type, symbol, given) {
  const isArray = given.arrayType === VariantArrayType.Array;
  if (given.dataType !== type.builtIn || isArray !== (type.valueRank === 1)) {
    return refused(StatusCodes.BadTypeMismatch);
  }
  const value = given.value;
  const size = Number(symbol.size) || 0;
  if (type.valueRank === 1) {
    if (value === null || value.length !== type.count) return refused(StatusCodes.BadOutOfRange);
    return { value: Array.from(value, Number) };
  }
  switch (type.builtIn) {
    case DataType.Boolean:
      return { value: Boolean(value) };
    case DataType.Float:
    case DataType.Double:
      if (type.dataType === 'Duration') {
        // TIME holds whole milliseconds, 0 to 2^32 - 1.
        return Number.isInteger(value) && value >= 0 && value < TWO_32
          ? { value } : refused(StatusCodes.BadOutOfRange);
      }
      if (Number.isNaN(value)) return { value: 'nan' };
      if (!Number.isFinite(value)) return { value: value > 0 ? 'inf' : '-inf' };
      return { value };
    case DataType.String: {
      const text = value === null ? '' : String(value);
      // The variable keeps room for its terminating NUL; a NUL inside would cut it short.
      return Buffer.byteLength(text, 'utf8') < size && !text.includes('\0')
        ? { value: text } : refused(StatusCodes.BadOutOfRange);
    }
    case DataType.DateTime: {
      const ms = value instanceof Date ? value.getTime() : NaN;
      const seconds = Math.floor(ms / 1000);
      if (!Number.isFinite(ms) || seconds < 0 || seconds >= TWO_32) {
        return refused(StatusCodes.BadOutOfRange);
      }
      const bytes = Buffer.alloc(size);
      bytes.writeUInt32LE(seconds, 0);
      return { value: bytes.toString('hex') };
    }
    case DataType.ByteString:
      return value !== null && value.length === size
        ? { value: Buffer.from(value).toString('hex') } : refused(StatusCodes.BadOutOfRange);
    case DataType.Int64:
    case DataType.UInt64: {
      // Decimal text, which keeps every bit that a JSON number would round.
      const big = (BigInt(value[0] >>> 0) << 32n) | BigInt(value[1] >>> 0);
      return { value: (type.builtIn === DataType.Int64 ? BigInt.asIntN(64, big) : big).toString() };
    }
    default:
      return Number.isInteger(value) ? { value } : refused(StatusCodes.BadOutOfRange);
  }
}

module.exports = { typeOf, emptyVariant, variantOf, writeValueOf };
