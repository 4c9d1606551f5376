"""The program's per-user store file, written and read back from outside.

"$XDG_CONFIG_HOME/Lumo Dev/Vennatro.reg" in the registry's export format: one value a line,
"Name"=dword:XXXXXXXX for numbers and booleans, "Name"="text" for texts.
"""

import os
import re

KEY = r"HKEY_CURRENT_USER\Software\Lumo Dev\Vennatro"

# Every value the program keeps, with its kind.
DWORD_VALUES = [
    "Always on top", "Start with Windows", "Auto-ping at start", "Auto-ping interval",
    "Ping attempts", "HTTP port", "HTTPS port", "Show notifications",
    "Show only error notifications", "Include computer name in user agent", "Show log",
    "Log HTTP headers", "Save log", "Ping on error", "Send email on error", "SMTP port",
    "Maximized", "Window width", "Window height", "Window top", "Window left",
]
STRING_VALUES = [
    "Auto-ping address", "Log file", "Error ping address", "Error email address",
    "From address", "SMTP server", "SMTP user", "SMTP password", "Recent URLs",
]
ALL_VALUES = DWORD_VALUES + STRING_VALUES
assert len(ALL_VALUES) == 30


def store_path(config_home):
    return os.path.join(config_home, "Lumo Dev", "Vennatro.reg")


def escape(text):
    out = []
    for ch in text:
        if ch == "\\":
            out.append("\\\\")
        elif ch == '"':
            out.append('\\"')
        elif ch == "\r":
            out.append("\\r")
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\t":
            out.append("\\t")
        elif ord(ch) < 0x20:
            out.append("\\x%02x" % ord(ch))
        else:
            out.append(ch)
    return "".join(out)


def unescape(text):
    out = []
    i = 0
    while i < len(text):
        ch = text[i]
        if ch != "\\":
            out.append(ch)
            i += 1
            continue
        e = text[i + 1]
        if e == "x":
            out.append(chr(int(text[i + 2:i + 4], 16)))
            i += 4
            continue
        out.append({"\\": "\\", '"': '"', "r": "\r", "n": "\n", "t": "\t"}[e])
        i += 2
    return "".join(out)


def render(values, raw_lines=()):
    """values: name -> int (dword) or str (text). raw_lines: extra lines as they stand."""
    lines = ["REGEDIT4", "", f"[{KEY}]"]
    for name, value in values.items():
        if isinstance(value, bool):
            value = int(value)
        if isinstance(value, int):
            lines.append(f'"{escape(name)}"=dword:{value & 0xFFFFFFFF:08x}')
        else:
            lines.append(f'"{escape(name)}"="{escape(value)}"')
    lines.extend(raw_lines)
    return ("\r\n".join(lines) + "\r\n").encode("utf-8")


def write_store(config_home, values, raw_lines=()):
    path = store_path(config_home)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    data = render(values, raw_lines)
    with open(path, "wb") as f:
        f.write(data)
    return data


_VALUE_LINE = re.compile(r'^"((?:[^"\\]|\\.)*)"=(.*)$')


def read_store(config_home):
    """name -> ("dword", int) or ("string", str), for the program's key. Raises on a line
    the program should never write."""
    path = store_path(config_home)
    with open(path, "rb") as f:
        text = f.read().decode("utf-8")
    values = {}
    in_key = False
    lines = text.splitlines()
    if not lines or lines[0].strip() != "REGEDIT4":
        raise AssertionError(f"{path} does not begin with REGEDIT4")
    for line in lines[1:]:
        line = line.strip()
        if not line or line.startswith(";"):
            continue
        if line.startswith("["):
            in_key = line == f"[{KEY}]"
            continue
        m = _VALUE_LINE.match(line)
        if not m:
            raise AssertionError(f"unexpected line in {path}: {line[:120]!r}")
        if not in_key:
            continue
        name = unescape(m.group(1))
        data = m.group(2)
        if data.startswith("dword:"):
            values[name] = ("dword", int(data[6:], 16))
        elif data.startswith('"') and data.endswith('"'):
            values[name] = ("string", unescape(data[1:-1]))
        elif data.startswith('expand:"') and data.endswith('"'):
            values[name] = ("string", unescape(data[8:-1]))
        else:
            raise AssertionError(f"unknown value kind in {path}: {line[:120]!r}")
    return values


def file_mode(config_home):
    return os.stat(store_path(config_home)).st_mode & 0o777
