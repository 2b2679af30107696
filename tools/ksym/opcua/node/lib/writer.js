'use strict';
// A client's write of a variable, through ksym's interface and so through the checks of
// ksym write. Status codes:
//   BadTypeMismatch      a Variant of another type than the variable's (nothing sent)
//   BadOutOfRange        a value its variable cannot hold (nothing sent), here or by ksym's
//                        own checks
//   BadUserAccessDenied  the controller refused the write (its protection, a missing login)
//   BadNotWritable       ksym serves the station read-only
//   BadNoCommunication   the station cannot be reached; nothing was written
//   BadTimeout           sent, but no answer: whether the controller wrote it is unknown

const { StatusCodes } = require('node-opcua');
const types = require('./types');

const STATUS_OF_HTTP = {
  400: StatusCodes.BadOutOfRange,
  403: StatusCodes.BadNotWritable,
  409: StatusCodes.BadUserAccessDenied,
  503: StatusCodes.BadNoCommunication,
  504: StatusCodes.BadTimeout,
};

function writer(api) {
  return (entry, variant, callback) => {
    const taken = types.writeValueOf(entry.type, entry.symbol, variant);
    if (taken.statusCode) {
      callback(null, taken.statusCode);
      return;
    }
    api.write(entry.name, taken.value).then((answer) => {
      callback(null, answer.status === 200 ? StatusCodes.Good
        : STATUS_OF_HTTP[answer.status] || StatusCodes.BadCommunicationError);
    }, () => callback(null, StatusCodes.BadNoCommunication));
  };
}

module.exports = { writer };
