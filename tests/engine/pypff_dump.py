#!/usr/bin/python3
"""Dumps every message that pypff reads from a personal folder file as JSON, for the
decoding oracle test: node id, subject, sender name, display-to, submit and delivery
times (FILETIME integers) and the plain-text body, texts as UTF-8."""
import json
import sys

import pypff

PID_DISPLAY_TO = 0x0E04
PID_MESSAGE_CLASS = 0x001A


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
        return v.decode("cp1252", "replace")
    return v


def main(path):
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
                "display_to": text(entry_string(m, PID_DISPLAY_TO)),
                "submit_time": safe(m.get_client_submit_time_as_integer),
                "delivery_time": safe(m.get_delivery_time_as_integer),
                "body": text(safe(m.get_plain_text_body)),
            })
        for i in range(safe(folder.get_number_of_sub_folders) or 0):
            sub = safe(lambda: folder.get_sub_folder(i))
            if sub is not None:
                walk(sub, depth + 1)

    walk(f.get_root_folder(), 0)
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main(sys.argv[1])
