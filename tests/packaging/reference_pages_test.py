"""The man page and the bash completion, made from mhost's command table,
against what mhost --help says: every command and every option of each
command's --help is in both, and the completion completes as TAB would.

  reference_pages_test.py MHOST MAN_PAGE_GZ COMPLETION"""
import gzip
import re
import subprocess
import sys

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def help_of(mhost, *args):
    return subprocess.run([mhost, *args, "--help"], capture_output=True, text=True,
                          check=True).stdout


def complete(completion, mhost, *words):
    """What TAB offers after words (the last one being completed)."""
    script = (f". {completion}\n"
              f'COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _mhost; echo "${{COMPREPLY[*]}}"')
    done = subprocess.run(["bash", "-c", script, "sh", mhost, *words[1:]], capture_output=True,
                          text=True)
    return done.stdout.split()


def main():
    mhost, man_path, completion = sys.argv[1:4]
    man = gzip.open(man_path, "rt").read().replace("\\-", "-")
    bash = open(completion).read()
    top = help_of(mhost)
    commands = re.findall(r"^  ([a-z]+)\s{2,}", top.split("Subcommands:")[1], re.M)
    check(len(commands) >= 8, f"--help lists the commands: {commands}")
    for command in commands:
        check(f'mhost {command}"' in man, f"the man page has the command {command}")
        check(re.search(rf"\b{command}\)", bash) is not None,
              f"the completion has the command {command}")
        for option in sorted(set(re.findall(r"(?<![\w-])(--[a-z][a-z-]*)", help_of(mhost, command)))):
            if option == "--help":
                continue
            check(option in man, f"the man page has {command} {option}")
            check(f'"{command} {option}"' in bash or f" {option}" in bash,
                  f"the completion has {command} {option}")
    for option in re.findall(r"(?<![\w-])(--[a-z][a-z-]*)", top):
        check(option in man and option in bash, f"both have mhost {option}")

    check(complete(completion, mhost, "mhost", "ev") == ["eval"], "mhost ev<TAB> gives eval")
    check(complete(completion, mhost, "mhost", "eval", "--fo") == ["--format"],
          "mhost eval --fo<TAB> gives --format")
    check(complete(completion, mhost, "mhost", "eval", "s.json", "--format", "") ==
          ["table", "csv", "json"], "a --format value completes from its set")
    check("quenlo" in complete(completion, mhost, "mhost", "info", ""),
          "mhost info <TAB> gives the node types")
    check(complete(completion, mhost, "mhost", "--module", "x.so", "ke") == ["keys"],
          "a --module value is not taken for the command")

    if failures:
        print(f"{len(failures)} failures")
        return 1
    print(f"reference pages test: passed ({len(commands)} commands)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
