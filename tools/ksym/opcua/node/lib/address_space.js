'use strict';
// The station in the address space, in namespace "urn:ksymbol": the Object "Station" in the
// Objects folder, with the project's identification and the connection state as its
// properties, and below it one Variable per symbol. A symbol's NodeId is "s=" and its name
// exactly as the symbol table holds it; the dot-separated prefixes of the names are folders,
// NodeId "s=" and the prefix, browse name its last part. The properties' NodeIds hold a
// '/', which no symbol name does, so that they never meet a symbol's.
//
// Threads: Node.js runs everything here on its one thread.

const { StatusCodes, makeAccessLevelFlag, DataType, NodeClass } = require('node-opcua');
const types = require('./types');

const PROPERTIES = [
  ['Project', 'project'], ['Version', 'version'], ['Description', 'description'],
  ['Author', 'author'], ['Date', 'date'], ['Identifier', 'projectId'], ['Number', 'number'],
];

// The project's number is a number, the other properties texts.
function propertyType(key) {
  return key === 'number' ? DataType.UInt32 : DataType.String;
}

// How a node hangs below `parent`: a folder or object organizes it, a Variable has it as a
// component.
function below(parent) {
  return parent.nodeClass === NodeClass.Variable ? 'componentOf' : 'organizedBy';
}

class StationNodes {
  // hooks: { readOnly, refresh(entry, callback), write(entry, variant, callback) }
  constructor(addressSpace, namespace, hooks) {
    this.addressSpace = addressSpace;
    this.namespace = namespace;
    this.hooks = hooks;
    this.entries = new Map(); // symbol name -> { name, symbol, type, node }
    this.byNode = new WeakMap(); // variable node -> entry
    this.folders = new Map(); // prefix -> folder node
    this.station = namespace.addObject({
      organizedBy: addressSpace.rootFolder.objects,
      nodeId: 's=Station',
      browseName: 'Station',
      description: 'The controller station that ksym reads, and its project',
    });
    this.properties = new Map();
    for (const [browseName, key] of [...PROPERTIES, ['ConnectionState', 'state']]) {
      const dataType = propertyType(key);
      this.properties.set(key, namespace.addVariable({
        propertyOf: this.station,
        nodeId: `s=Station/${browseName}`,
        browseName,
        dataType,
        value: { dataType, value: dataType === DataType.String ? '' : 0 },
      }));
    }
  }

  setProperty(key, value) {
    const node = this.properties.get(key);
    const dataType = propertyType(key);
    const taken = dataType === DataType.UInt32
      ? (Number.isInteger(value) && value >= 0 && value <= 0xffffffff ? value : 0)
      : (value === undefined || value === null ? '' : String(value));
    node.setValueFromSource({ dataType, value: taken });
  }

  setIdentification(identification) {
    for (const [, key] of PROPERTIES) this.setProperty(key, identification?.[key]);
  }

  entryOf(node) {
    return node ? this.byNode.get(node) : undefined;
  }

  // The node below which a name's last part goes: the Station, a folder, or (for a name
  // that is also another symbol's prefix) that symbol's Variable.
  parentOf(parts) {
    let parent = this.station;
    for (let k = 1; k < parts.length; ++k) {
      const prefix = parts.slice(0, k).join('.');
      const symbol = this.entries.get(prefix);
      if (symbol) {
        parent = symbol.node;
        continue;
      }
      let folder = this.folders.get(prefix);
      if (!folder) {
        if (prefix === 'Station') {
          folder = this.station; // the Station itself holds the names that begin so
        } else {
          folder = this.namespace.addObject({
            [below(parent)]: parent,
            typeDefinition: 'FolderType',
            nodeId: `s=${prefix}`,
            browseName: parts[k - 1],
          });
        }
        this.folders.set(prefix, folder);
      }
      parent = folder;
    }
    return parent;
  }

  add(symbol) {
    const name = symbol.name;
    const parts = name.split('.');
    // A name with an empty part has no folders of its own: it goes right below the Station.
    const plain = parts.some((part) => part === '');
    const parent = plain ? this.station : this.parentOf(parts);
    const type = types.typeOf(symbol);
    const access = makeAccessLevelFlag(this.hooks.readOnly ? 'CurrentRead'
      : 'CurrentRead | CurrentWrite');
    const entry = { name, symbol, type, node: null };
    const options = {
      nodeId: `s=${name}`,
      browseName: plain ? name : parts[parts.length - 1],
      dataType: type.dataType,
      valueRank: type.valueRank,
      accessLevel: access,
      userAccessLevel: access,
      minimumSamplingInterval: 50,
      value: {
        refreshFunc: (callback) => this.hooks.refresh(entry, callback),
        set: (variant, callback) => this.hooks.write(entry, variant, callback),
      },
    };
    if (type.arrayDimensions) options.arrayDimensions = type.arrayDimensions;
    options[below(parent)] = parent;
    entry.node = this.namespace.addVariable(options);
    entry.node.setValueFromSource(types.emptyVariant(type), StatusCodes.BadWaitingForInitialData);
    this.entries.set(name, entry);
    this.byNode.set(entry.node, entry);
  }

  // Takes the symbols of the project now loaded: new ones are added, gone ones removed, and
  // those whose type or size changed made anew. Direct addresses never come here.
  update(symbols) {
    const given = new Map();
    for (const symbol of symbols) {
      if (typeof symbol?.name !== 'string' || symbol.name === '' || given.has(symbol.name)) continue;
      given.set(symbol.name, symbol);
    }
    for (const [name, entry] of [...this.entries]) {
      const now = given.get(name);
      if (!now || now.type !== entry.symbol.type || now.size !== entry.symbol.size ||
          now.kind !== entry.symbol.kind) {
        this.remove(entry);
      }
    }
    // Shorter names first, so that a prefix that is a symbol exists before the names below it.
    const added = [...given.values()].filter((symbol) => !this.entries.has(symbol.name))
      .sort((a, b) => a.name.split('.').length - b.name.split('.').length);
    for (const symbol of added) {
      try {
        this.add(symbol);
      } catch (error) {
        process.stderr.write(`ksym opcua: ${symbol.name} is left out: ${error.message}\n`);
      }
    }
  }

  remove(entry) {
    this.entries.delete(entry.name);
    this.byNode.delete(entry.node);
    this.addressSpace.deleteNode(entry.node);
  }

  // Every value turns bad with `statusCode`, keeping what it was.
  markAll(statusCode) {
    for (const entry of this.entries.values()) {
      const current = entry.node.$dataValue;
      if (current.statusCode !== statusCode) {
        entry.node.setValueFromSource(current.value, statusCode, current.sourceTimestamp);
      }
    }
  }
}

module.exports = { StationNodes };
