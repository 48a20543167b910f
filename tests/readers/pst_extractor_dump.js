// Prints what the JavaScript reader pst-extractor reads from a personal folder file, as JSON:
//
//   {"folders": [{"path": [names below the root], "items": [{"subject", "sender",
//     "body_length", "attachments": [{"name", "size"}], "recipients"}], "error"?}],
//    "error"?: text}
//
// "error" at the top says the file did not open; in a folder, that reading its items stopped
// there (the items read before are listed). Folders and items come in the reader's order.
//
//   node pst_extractor_dump.js FILE.pst
//
// The reader is looked up beside this script (node_modules), then where NODE_PATH says, then
// in the project's build/node; exit status 3 says it is not installed.
'use strict';
const path = require('path');

function loadReader() {
  const places = [
    path.join(__dirname, 'node_modules', 'pst-extractor'),
    path.join(__dirname, '..', '..', 'build', 'node', 'node_modules', 'pst-extractor'),
    'pst-extractor',
  ];
  for (const place of places) {
    try {
      return require(place);
    } catch (e) {
      if (e.code !== 'MODULE_NOT_FOUND') throw e;
    }
  }
  return null;
}

function text(value) {
  return typeof value === 'string' ? value.replace(/\0+$/, '') : '';
}

function item(message) {
  const out = {
    subject: text(message.subject),
    sender: text(message.senderName),
    body_length: text(message.body).length,
    attachments: [],
    recipients: 0,
  };
  try {
    out.recipients = message.numberOfRecipients;
  } catch (e) {
    out.recipients_error = String(e.message || e);
  }
  let count = 0;
  try {
    count = message.numberOfAttachments;
  } catch (e) {
    out.attachments_error = String(e.message || e);
  }
  for (let i = 0; i < count; i++) {
    try {
      const a = message.getAttachment(i);
      out.attachments.push({name: text(a.longFilename) || text(a.filename), size: a.filesize});
    } catch (e) {
      out.attachments_error = String(e.message || e);
      break;
    }
  }
  return out;
}

function walk(folder, names, out) {
  const entry = {path: names, items: []};
  out.push(entry);
  try {
    if (folder.contentCount > 0) {
      for (let m = folder.getNextChild(); m != null; m = folder.getNextChild()) entry.items.push(item(m));
    }
  } catch (e) {
    entry.error = String(e.message || e);
  }
  let subfolders = [];
  try {
    if (folder.hasSubfolders) subfolders = folder.getSubFolders();
  } catch (e) {
    entry.error = entry.error || String(e.message || e);
  }
  for (const sub of subfolders) walk(sub, names.concat([text(sub.displayName)]), out);
}

function main() {
  // Whether the reader is there comes first: a run without a file asks only that.
  const reader = loadReader();
  if (reader == null) {
    process.stderr.write('pst-extractor is not installed (bash scripts/setup.sh pst-extractor)\n');
    process.exit(3);
  }
  const file = process.argv[2];
  if (!file) {
    process.stderr.write('usage: node pst_extractor_dump.js FILE.pst\n');
    process.exit(2);
  }
  const result = {folders: []};
  try {
    const pst = new reader.PSTFile(path.resolve(file));
    walk(pst.getRootFolder(), [], result.folders);
  } catch (e) {
    result.error = String(e.message || e);
  }
  process.stdout.write(JSON.stringify(result) + '\n');
}

main();
