'use strict';
// OPC UA client sessions for the gateway tests, through node-opcua-client, with one
// certificate folder for the whole run.

const path = require('node:path');
const { gatewayRequire, temporaryFolder } = require('./processes');

const opcua = gatewayRequire('node-opcua-client');
const { OPCUAClient, MessageSecurityMode, SecurityPolicy, UserTokenType } = opcua;
const { OPCUACertificateManager } = gatewayRequire('node-opcua-certificate-manager');

let certificates = null;

function certificateManager() {
  certificates = certificates || new OPCUACertificateManager({
    rootFolder: path.join(temporaryFolder('client'), 'pki'),
    automaticallyAcceptUnknownCertificate: true,
  });
  return certificates;
}

// A connected client and session: { client, session, ns (the index of urn:ksymbol), id(name),
// close() }. `secure`: Basic256Sha256 with SignAndEncrypt; `user`: { userName, password }.
async function connect(url, { secure = false, user = null } = {}) {
  const client = OPCUAClient.create({
    endpointMustExist: false,
    connectionStrategy: { maxRetry: 1, initialDelay: 200, maxDelay: 500 },
    clientCertificateManager: certificateManager(),
    securityMode: secure ? MessageSecurityMode.SignAndEncrypt : MessageSecurityMode.None,
    securityPolicy: secure ? SecurityPolicy.Basic256Sha256 : SecurityPolicy.None,
    requestedSessionTimeout: 60000,
  });
  await client.connect(url);
  let session;
  try {
    session = await client.createSession(user === null ? undefined
      : { type: UserTokenType.UserName, userName: user.userName, password: user.password });
  } catch (error) {
    await client.disconnect();
    throw error;
  }
  const ns = (await session.readNamespaceArray()).indexOf('urn:ksymbol');
  return {
    client,
    session,
    ns,
    id: (name) => `ns=${ns};s=${name}`,
    async close() {
      await session.close().catch(() => {});
      await client.disconnect();
    },
  };
}

module.exports = { opcua, connect };
