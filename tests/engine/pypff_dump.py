#!/usr/bin/python3
"""Dumps every message that pypff reads from a personal folder file as JSON, for the
decoding oracle test: node id, subject, sender name, display-to, submit and delivery
times (FILETIME integers), the plain-text body (texts as UTF-8), the number of properties,
the attachments' data sizes and the number of recipients. pypff has no recipients, so
those come from the log of libpff's own exporter (pffexport), which names each message by
its node id and says how many recipients it saved."""
import json
import os
import re
import subprocess
import sys
import tempfile

import pypff

PID_DISPLAY_TO = 0x0E04
PID_MESSAGE_CLASS = 0x001A
PID_SENT_REPRESENTING_NAME = 0x0042
# Text that pypff hands out as bytes: in the file's code page for the 32-bit form, converted
# to UTF-8 from the UTF-16 of the 64-bit form.
ENCODING = "cp1252"


def safe(fn):
    try:
        return fn()
    except (IOError, OSError, TypeError, ValueError, AttributeError):
        return None


def entry_string(m, entry_type):
    try:
        if m.get_number_of_record_sets() < 1:
            return None
        rs = m.get_record_set(0)
        for i in range(rs.get_number_of_entries()):
            e = rs.get_entry(i)
            if e.get_entry_type() == entry_type:
                return safe(e.get_data_as_string)
    except (IOError, OSError):
        return None
    return None


def text(v):
    if v is None:
        return None
    if isinstance(v, bytes):
        return v.decode(ENCODING, "replace")
    return v


def property_count(m):
    try:
        return m.get_record_set(0).get_number_of_entries() if m.get_number_of_record_sets() else 0
    except (IOError, OSError):
        return None


def holds_embedded_message(a):
    """Whether the attachment's data (0x3701) is an object: pypff's size is then that of the
    embedded message as it stores it, which is no byte count to compare."""
    try:
        for k in range(a.get_number_of_record_sets()):
            rs = a.get_record_set(k)
            for i in range(rs.get_number_of_entries()):
                e = rs.get_entry(i)
                if e.get_entry_type() == 0x3701 and e.get_value_type() == 0x000D:
                    return True
    except (IOError, OSError):
        return False
    return False


def attachment_sizes(m):
    sizes = []
    for i in range(safe(m.get_number_of_attachments) or 0):
        a = safe(lambda: m.get_attachment(i))
        if a is None or holds_embedded_message(a):
            sizes.append(None)
        else:
            sizes.append(safe(a.get_size))
    return sizes


def recipient_counts(path):
    """Node id -> recipients saved, from pffexport's log; None when it cannot be run."""
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, "export.log")
        try:
            subprocess.run(["pffexport", "-q", "-m", "items", "-l", log, "-t",
                            os.path.join(tmp, "out"), path],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
            with open(log, encoding="utf-8", errors="replace") as f:
                lines = f.readlines()
        except OSError:
            return None
    counts = {}
    current = None
    for line in lines:
        item = re.match(r"Processing (?!folder)\w+: \d+ \(identifier: (\d+)\)", line)
        if item:
            current = int(item.group(1))
            counts.setdefault(current, 0)
        saved = re.match(r"Saving (\d+) ?recipient", line)
        if saved and current is not None:
            counts[current] = int(saved.group(1))
    return counts


def main(path):
    global ENCODING
    with open(path, "rb") as f:
        header = f.read(12)
    if len(header) == 12 and int.from_bytes(header[10:12], "little") >= 23:
        ENCODING = "utf-8"
    recipients = recipient_counts(path)
    f = pypff.file()
    f.open(path)
    out = []

    def walk(folder, depth):
        if depth > 64:
            return
        for i in range(safe(folder.get_number_of_sub_messages) or 0):
            m = safe(lambda: folder.get_sub_message(i))
            if m is None:
                continue
            out.append({
                "node_id": safe(m.get_identifier),
                "class": entry_string(m, PID_MESSAGE_CLASS),
                "subject": text(safe(m.get_subject)),
                "sender_name": text(safe(m.get_sender_name)),
                "sent_representing_name": text(entry_string(m, PID_SENT_REPRESENTING_NAME)),
                "display_to": text(entry_string(m, PID_DISPLAY_TO)),
                "submit_time": safe(m.get_client_submit_time_as_integer),
                "delivery_time": safe(m.get_delivery_time_as_integer),
                "body": text(safe(m.get_plain_text_body)),
                "properties": property_count(m),
                "attachment_sizes": attachment_sizes(m),
            })
        for i in range(safe(folder.get_number_of_sub_folders) or 0):
            sub = safe(lambda: folder.get_sub_folder(i))
            if sub is not None:
                walk(sub, depth + 1)

    walk(f.get_root_folder(), 0)
    for m in out:
        m["recipients"] = None if recipients is None else recipients.get(m["node_id"])
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main(sys.argv[1])
