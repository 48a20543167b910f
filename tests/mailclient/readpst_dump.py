"""Prints what `readpst -e` wrote into a folder as JSON: one entry per file with its path and
kind (eml, ics, vcf, ...); for a message, its subject, To and Cc texts, its attachments (file
name and data as hex) and the messages attached to it, in the same form."""
import email
import email.header
import email.policy
import json
import os
import re
import sys

# readpst starts an attached message with an mbox separator line, which is no header.
SEPARATOR = re.compile(rb'^>From "[^\n]*\n', re.MULTILINE)


def header(msg, name):
    """A header's text as written, encoded words decoded (not parsed as addresses)."""
    for key, value in msg.raw_items():
        if key.lower() == name.lower():
            return str(email.header.make_header(email.header.decode_header(value)))
    return ""


def message(msg):
    out = {"subject": header(msg, "Subject"), "to": header(msg, "To"), "cc": header(msg, "Cc"),
           "attachments": [], "messages": []}
    for part in msg.get_payload() if msg.is_multipart() else []:
        collect(part, out)
    return out


def collect(part, out):
    if part.get_content_type() == "message/rfc822":
        for inner in part.get_payload():
            out["messages"].append(message(inner))
    elif part.is_multipart():
        for sub in part.get_payload():
            collect(sub, out)
    elif part.get_content_disposition() == "attachment":
        out["attachments"].append({"name": part.get_filename() or "",
                                   "data": (part.get_payload(decode=True) or b"").hex()})


files = []
for folder, _, names in os.walk(sys.argv[1]):
    for name in sorted(names):
        path = os.path.join(folder, name)
        entry = {"path": os.path.relpath(path, sys.argv[1]), "kind": name.rsplit(".", 1)[-1]}
        if entry["kind"] == "eml":
            with open(path, "rb") as fh:
                raw = SEPARATOR.sub(b"", fh.read())
            entry.update(message(email.message_from_bytes(raw, policy=email.policy.default)))
        files.append(entry)
json.dump(files, sys.stdout)
