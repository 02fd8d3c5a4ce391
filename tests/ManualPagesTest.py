"""The manual pages state the README's facts: kelvane-doctor's options (and
the program's own --help), exit statuses and JSON members, the places the
tools are looked for, the children's PATH, and the activity log's path and
entry form.

    ManualPagesTest.py README.md kelvane-doctor.1 kelvane-doctor-program [kelvane.1]
"""
import re
import subprocess
import sys

OPTION = re.compile(r"(?<![\w-])--?[a-z][a-z-]*")
STATUS = re.compile(r"(?<![\w.-])[0-9](?![\w.])")
MEMBER = re.compile(r"^[a-z][A-Za-z]*$")
PLACE = re.compile(r"(?:<bundle root>|\$[A-Z_]+|~)?/[^\s,`]+")


def plain(roff):
    """Roff source as text: escapes resolved, comments dropped."""
    for escape, text in ((r"\-", "-"), (r"\(aq", "'"), (r"\(lq", '"'), (r"\(rq", '"'), (r"\&", "")):
        roff = roff.replace(escape, text)
    roff = re.sub(r"\\f[BIRP]", "", roff)
    return "\n".join(line for line in roff.splitlines() if not line.startswith('.\\"'))


def split(text, heading):
    """{title: body} for the parts of `text` that start with a line matching
    `heading` (a pattern) and a title."""
    parts = re.split(r"^" + heading + r" +(.*)$", text, flags=re.M)
    return {title.strip().strip('"'): body for title, body in zip(parts[1::2], parts[2::2])}


def paragraph(section, marker):
    """The paragraph that holds `marker`, and the tables right after it."""
    paragraphs = section.split("\n\n")
    for i, text in enumerate(paragraphs):
        if marker in text:
            found = [text]
            for following in paragraphs[i + 1:]:
                if not following.startswith("|"):
                    break
                found.append(following)
            return "\n\n".join(found)
    return ""


def tagged(section):
    """[(tag, text)] of the section's .TP items, the tag as plain text."""
    items, lines = [], section.splitlines()
    for i, line in enumerate(lines):
        if line == ".TP" and i + 1 < len(lines):
            body = []
            for follower in lines[i + 2:]:
                if re.match(r"^\.(TP|SS|SH|PP)\b", follower):
                    break
                body.append(follower)
            tag = re.sub(r"^\.[A-Z]+ ", "", lines[i + 1]).replace('"', "")
            items.append((plain(tag), "\n".join(body)))
    return items


def readme_facts(readme):
    # Each heading's text up to the next heading, whatever their levels.
    chapters = split(readme, "#+")
    titles = ("kelvane-doctor", "Where the tools are looked for", "The activity log")
    missing = [title for title in titles if title not in chapters]
    if missing:
        sys.exit(f"README.md has no heading {missing}: the passages this test reads have moved")
    doctor, places, log = (chapters[title] for title in titles)
    facts = {
        "options": set(OPTION.findall("".join(l for l in doctor.splitlines(True) if l.startswith("| `-")))),
        "exit statuses": set(STATUS.findall(paragraph(doctor, "Exit status"))),
        "JSON members": {m for m in re.findall(r"`([^`]+)`", paragraph(doctor, "members")) if MEMBER.match(m)} - {"null"},
        "child PATH": re.findall(r"PATH=([^\s`]+)", places),
        "log path": re.findall(r"`(/[^`]+)`", log)[:1],
        "log entry": re.findall(r"`(\[YYYY[^`]*)`", log)[:1],
    }
    system = None
    for line in places.splitlines():
        if re.match(r"^(Linux|macOS):$", line):
            system = line[:-1]
        elif system and re.match(r"^\| (adb|scrcpy) \|", line):
            tool = line.split("|")[1].strip()
            facts[f"{system} {tool} places"] = re.findall(r"`([^`]+)`", line.split("|", 2)[2])
    return facts


def doctor_page_facts(page):
    sections = split(page, r"\.SH")
    facts = {
        "options": set(OPTION.findall(plain(sections["OPTIONS"]))),
        "exit statuses": {tag for tag, _ in tagged(sections["EXIT STATUS"])},
        "JSON members": {w for pair in re.findall(r"^\.B (\w+)$|\\fB(\w+)\\fP", sections["JSON OUTPUT"], re.M)
                         for w in pair if w},
        "child PATH": re.findall(r"PATH=(\S+)", plain(sections["ENVIRONMENT"])),
    }
    facts.update(log_facts(sections["FILES"]))
    for system, body in split(sections["WHERE THE TOOLS ARE LOOKED FOR"], r"\.SS").items():
        for tool, places in tagged(body):
            facts[f"{system} {tool} places"] = PLACE.findall(plain(places))
    return facts


def log_facts(files_section):
    (path, description), *_ = tagged(files_section)
    return {"log path": [plain(path)], "log entry": re.findall(r"^ *(\[YYYY.*)$", plain(description), re.M)[:1]}


def main(readme_path, doctor_page_path, doctor_program, kelvane_page_path=None):
    with open(readme_path, encoding="utf-8") as f:
        readme = readme_facts(f.read())
    with open(doctor_page_path, encoding="utf-8") as f:
        doctor_source = f.read()
    pages = {"kelvane-doctor(1)": doctor_page_facts(doctor_source)}
    help_text = subprocess.run([doctor_program, "--help"], capture_output=True, text=True, check=True).stdout
    pages["kelvane-doctor --help"] = {"options": set(OPTION.findall(help_text))}
    if kelvane_page_path:
        with open(kelvane_page_path, encoding="utf-8") as f:
            pages["kelvane(1)"] = log_facts(split(f.read(), r"\.SH")["FILES"])

    failures = 0
    for fact, expected in readme.items():
        if not expected:
            print(f"README.md states no {fact}: the passage this test reads has changed")
            failures += 1
    for source, facts in pages.items():
        for fact, found in facts.items():
            if found != readme.get(fact):
                print(f"{source} and README.md differ in the {fact}:\n  {source}: {found}\n  README.md: {readme.get(fact)}")
                failures += 1
        print(f"{source}: {len(facts)} facts compared")
    extra = set(pages["kelvane-doctor(1)"]) ^ set(readme)
    if extra:
        print(f"Facts on one side only: {sorted(extra)}")
        failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
