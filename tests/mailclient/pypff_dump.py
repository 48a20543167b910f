"""Prints what libpff reads from a personal folder file as JSON: every folder (its path of
names below the root) with its messages' subject, body, sender, display-to and times."""
import json
import sys

import pypff


def display_to(message):
    for r in range(message.number_of_record_sets):
        record_set = message.get_record_set(r)
        for i in range(record_set.number_of_entries):
            entry = record_set.get_entry(i)
            if entry.entry_type == 0x0E04 and entry.data is not None:
                return entry.data.decode(sys.argv[2] if len(sys.argv) > 2 else "cp1252",
                                         errors="replace")
    return ""


def text(value):
    if value is None:
        return ""
    if isinstance(value, bytes):
        return value.decode("utf-8", errors="replace")
    return value


def walk(folder, path, out):
    messages = []
    for i in range(folder.number_of_sub_messages):
        m = folder.get_sub_message(i)
        messages.append({
            "subject": text(m.subject),
            "body": text(m.plain_text_body),
            "sender": text(m.sender_name),
            "display_to": display_to(m),
            "delivered": m.get_delivery_time_as_integer(),
            "submitted": m.get_client_submit_time_as_integer(),
            "attachments": m.number_of_attachments,
        })
    out.append({"path": path, "messages": messages})
    for i in range(folder.number_of_sub_folders):
        sub = folder.get_sub_folder(i)
        walk(sub, path + [text(sub.name)], out)


f = pypff.file()
f.open(sys.argv[1])
folders = []
walk(f.get_root_folder(), [], folders)
json.dump(folders, sys.stdout, ensure_ascii=False)
