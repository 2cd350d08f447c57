#!/usr/bin/env python3
"""Writes the Acknowledgements folder from what a built program links.

The libraries are the program's own NEEDED entries (readelf) and the header-only libraries named on the
command line; each is traced to the Debian package that installed it, grouped by source package, and given
the licence and copyright lines of that package's copyright file (no packaging metadata, no e-mail
addresses) followed by the whole text of each common licence the file cites. Output: index.tsv (name, use,
file per line) and one text file per row.
"""
import argparse
import os
import re
import subprocess
import sys

# What each library does for Corvane, by Debian source package; others use the package's own summary.
USES = {
    "qt6-base": "The windows, menus, tray icon and desktop integration",
    "ffmpeg": "Decoding the box's video",
    "opus": "Decoding the box's sound (Opus)",
    "enet": "Reliable connection for the stream's control messages",
    "openssl": "Pairing with the box and encrypting the stream",
    "curl": "Talking to the box and the update feed over HTTP",
    "expat": "Reading the box's XML replies",
    "libsdl2": "Sound output and game controllers",
    "libarchive": "Unpacking updates",
    "libx11": "Pointer capture and the keyboard on X11",
    "libxi": "Raw pointer motion on X11",
    "libxfixes": "Watching drags on X11",
    "libxcb": "The stream window's own X11 calls",
    "qcoro": "Waiting for the box without blocking the windows",
    "nlohmann-json3": "Reading and writing JSON",
}
# Every program links these; they are the system's C and C++ runtime, not libraries Corvane chose.
RUNTIME = {"glibc", "gcc-12", "gcc-13", "gcc-14", "gcc"}
# Any word holding an "@": addresses, however they are written, and handles.
EMAIL = re.compile(r"\s*\S*@\S*")
# Names shown for source packages whose own name says little.
NAMES = {"qt6-base": "Qt", "enet": "ENet", "opus": "libopus", "libx11": "libX11", "libxi": "libXi",
         "libxfixes": "libXfixes", "nlohmann-json3": "JSON for Modern C++", "libsdl2": "SDL"}
# The licences every Debian system carries whole; copyright files cite them instead of quoting them.
COMMON_LICENCES = "/usr/share/common-licenses/"
# A path to one, however it is quoted: `...', '...', "...", ‘...’ or bare, maybe ending a sentence.
CITED_PATH = re.compile(re.escape(COMMON_LICENCES) + r"([A-Za-z0-9][\w.+-]*[\w+])")
# The sentence pointing there, which the text itself replaces.
POINTER = re.compile(r"On Debian\b[\s\S]{0,240}?" + re.escape(COMMON_LICENCES) + r"\S*[^\n]*(\n[^\n]+)*")


def run(*command):
    return subprocess.run(command, capture_output=True, text=True, check=False).stdout


def needed_paths(binary):
    names = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", run("readelf", "-d", binary))
    resolved = dict(re.findall(r"^\s*(\S+) => (/\S+)", run("ldd", binary), re.M))
    return [os.path.realpath(resolved[n]) for n in names if n in resolved]


def package_of(path):
    # Merged /usr: a package may list the file under /lib or /usr/lib.
    for candidate in (path, "/usr" + path if path.startswith("/lib") else path[4:] if path.startswith("/usr/lib") else path):
        out = run("dpkg", "-S", candidate).strip()
        if out:
            return out.split(":")[0].split(",")[0].strip()
    return None


def named_licences(field):
    """Licences a License field names by their short names (versioned, as common licences are named); "+"
    (or any later version) and an exception granted with one still name its text."""
    for term in re.split(r",?\s+(?:and|or)\s+|,\s*", field):
        name = re.sub(r"\s+with\s.*$", "", term.strip()).rstrip("+")
        if re.fullmatch(r"[A-Za-z][A-Za-z0-9]*-\d[\d.]*|Artistic", name):
            yield name


def trimmed(text):
    """Licence and copyright lines of a copyright file; packaging paragraphs and metadata dropped."""
    paragraphs = [p for p in re.split(r"\n\s*\n", text) if p.strip()]
    if not paragraphs or not paragraphs[0].startswith("Format:"):
        kept = [EMAIL.sub("", line).rstrip() for line in text.splitlines()
                if not re.search(r"debian|packag|downloaded from|upstream author", line, re.I)]
        return with_common_licences("\n".join(kept).strip(), CITED_PATH.findall(text))
    out, cited = [], []
    for paragraph in paragraphs[1:]:
        fields, current = {}, None
        for line in paragraph.splitlines():
            match = re.match(r"^([\w-]+):\s?(.*)$", line)
            if match and not line.startswith((" ", "\t")):
                current = match.group(1)
                fields[current] = [match.group(2)]
            elif current:
                fields[current].append(line[1:] if line.startswith(" ") else line)
        if fields.get("Files", [""])[0].strip().startswith("debian/"):
            continue
        # Cited by name in the License field, or by path anywhere (often in a Comment).
        cited += named_licences(fields.get("License", [""])[0])
        cited += CITED_PATH.findall(paragraph)
        block = []
        if "Copyright" in fields:
            lines = [EMAIL.sub("", l).strip() for l in fields["Copyright"] if l.strip()]
            block += ["Copyright " + l if not l.lower().startswith(("copyright", "(c)", "©")) else l for l in lines]
        if "License" in fields:
            licence = fields["License"]
            block.append("License: " + licence[0].strip())
            body = ["" if l.strip() == "." else EMAIL.sub("", l) for l in licence[1:]]
            if body:
                block += [""] + body
        if block:
            out.append("\n".join(block).strip())
    text = re.sub(r"\n{3,}", "\n\n", POINTER.sub("", "\n\n".join(dict.fromkeys(out)))).strip()
    return with_common_licences(text, cited)


def with_common_licences(text, cited):
    """The text followed by the whole text of each licence cited, once, as Debian's file has it."""
    words = " ".join(text.split())
    for name in dict.fromkeys(cited):
        path = COMMON_LICENCES + name
        if not os.path.isfile(path):
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            licence = f.read().strip()
        # A file that quotes a licence whole (or cites one under two names) keeps the one copy.
        if " ".join(licence.split()) in words:
            continue
        text += "\n\n" + name + "\n\n" + licence
        words += " " + " ".join(licence.split())
    return text


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--header", action="append", default=[])
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    rows = {}
    for path in needed_paths(args.binary) + args.header:
        package = package_of(path)
        if not package:
            print(f"acknowledgements: {path} comes from no package; not listed", file=sys.stderr)
            continue
        fields = run("dpkg-query", "-W", "-f", "${source:Package}\t${source:Upstream-Version}\t${binary:Summary}",
                     package).split("\t")
        source = fields[0] or package
        if source in RUNTIME or source in rows:
            continue
        copyright_file = f"/usr/share/doc/{package}/copyright"
        if not os.path.exists(copyright_file):
            print(f"acknowledgements: {package} has no copyright file; not listed", file=sys.stderr)
            continue
        with open(copyright_file, encoding="utf-8", errors="replace") as f:
            raw = f.read()
        upstream = re.search(r"^Upstream-Name:\s*(.+)$", raw, re.M)
        version = re.sub(r"[+~](dfsg|ds).*$", "", fields[1]) if len(fields) > 1 else ""
        name = NAMES.get(source, upstream.group(1).strip() if upstream else source) + (" " + version if version else "")
        use = USES.get(source, fields[2] if len(fields) > 2 else "")
        rows[source] = (name, use, source + "-LICENSE.txt", trimmed(raw))
    os.makedirs(os.path.join(args.out, "box"), exist_ok=True)
    with open(os.path.join(args.out, "index.tsv"), "w", encoding="utf-8") as index:
        for name, use, file, text in sorted(rows.values(), key=lambda row: row[0].lower()):
            with open(os.path.join(args.out, file), "w", encoding="utf-8") as f:
                f.write(text + "\n")
            index.write(f"{name}\t{use}\t{file}\n")
    # The box runs the same ENet and Opus; their texts serve its rows too.
    for source, file in (("enet", "ENet-LICENSE.txt"), ("opus", "libopus-LICENSE.txt")):
        if source in rows:
            with open(os.path.join(args.out, "box", file), "w", encoding="utf-8") as f:
                f.write(rows[source][3] + "\n")


if __name__ == "__main__":
    main()
