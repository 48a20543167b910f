"""Prints what libpff reads from a personal folder file as JSON: every folder (its path of
names below the root) with its messages' subject, body, sender, display-to and times.

With --full FILE, every message's properties instead, as hex by key: "TTTTYYYY" (id and
type) for a property, the property set's GUID bytes and "#number" or "$name" then "/YYYY"
for a named one, the names taken from the file's name-to-id map as libpff reads it; and
each attachment's properties and data."""
import json
import struct
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


def entries_of(record_sets):
    """The raw entries of the first record set, as (id, type, bytes)."""
    if not record_sets:
        return []
    return [(e.entry_type, e.value_type, bytes(e.data or b"")) for e in record_sets[0].entries]


def name_map(f):
    """Named property ids to keys: the map's GUID (0x2), entry (0x3) and string (0x4) streams."""
    streams = {t: d for t, _, d in entries_of(list(f.name_to_id_map.record_sets))}
    guids, entries, strings = streams.get(2, b""), streams.get(3, b""), streams.get(4, b"")
    known = {1: bytes.fromhex("2803020000000000c000000000000046"),
             2: bytes.fromhex("2903020000000000c000000000000046")}
    names = {}
    for at in range(0, len(entries) - 7, 8):
        value, word, index = struct.unpack_from("<IHH", entries, at)
        g = word >> 1
        guid = known.get(g) or guids[(g - 3) * 16:(g - 2) * 16]
        if word & 1:
            length = struct.unpack_from("<I", strings, value)[0]
            name = "$" + strings[value + 4:value + 4 + length].decode("utf-16-le")
        else:
            name = "#%d" % value
        names[0x8000 + index] = guid.hex() + name
    return names


def keyed(entries, names):
    out = {}
    for ident, vtype, data in entries:
        key = names.get(ident, "?%04x" % ident) + "/%04x" % vtype if ident >= 0x8000 \
            else "%04x%04x" % (ident, vtype)
        out[key] = data.hex()
    return out


def full(folder, path, names, out):
    for i in range(folder.number_of_sub_messages):
        m = folder.get_sub_message(i)
        attachments = []
        for a in range(m.number_of_attachments):
            at = m.get_attachment(a)
            props = keyed([e for e in entries_of(list(at.record_sets)) if e[0] != 0x3701], names)
            try:
                data = at.read_buffer(at.size).hex()
            except (IOError, OSError):
                data = None
            attachments.append({"properties": props, "data": data})
        out.append({"path": path, "subject": text(m.subject),
                    "properties": keyed(entries_of(list(m.record_sets)), names),
                    "attachments": attachments})
    for i in range(folder.number_of_sub_folders):
        sub = folder.get_sub_folder(i)
        full(sub, path + [text(sub.name)], names, out)


f = pypff.file()
if sys.argv[1] == "--full":
    f.open(sys.argv[2])
    messages = []
    full(f.get_root_folder(), [], name_map(f), messages)
    json.dump(messages, sys.stdout)
else:
    f.open(sys.argv[1])
    folders = []
    walk(f.get_root_folder(), [], folders)
    json.dump(folders, sys.stdout, ensure_ascii=False)
