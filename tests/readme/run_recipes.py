#!/usr/bin/python3
"""Run the README's recipes as a reader would, in a fresh folder.

Every shell and Python code block of the README carries a marker in an HTML
comment on the line before its fence, which says what to do with it:

``<!-- recipe: run -->``
    Run it, in order, in the work folder: a shell block with
    ``bash -e -o pipefail``, a Python block with ``/usr/bin/python3``.
    It must end with status 0.
``<!-- recipe: file NAME -->``
    Write its text to ``NAME`` in the work folder (a script or a parameter
    file that a later block uses). A Python file must be run by a later
    block, so no Python recipe goes untested.
``<!-- recipe: local-cluster -->``
    A block whose cluster form needs a scheduler; it is run as ``run`` in
    the local form it is written to take when no scheduler is named.
``<!-- recipe: local-cluster: COMMAND -->``
    A block that only a cluster can run (a batch script's submission); its
    local form COMMAND (the script with the array index set by hand) is run
    instead.
``<!-- recipe: same-as PATH -->``
    A copy of a file of the source tree (the example parameter file, say),
    which must stay equal to it.
``<!-- recipe: output-of COMMAND -->``
    A part of what COMMAND prints (a usage line, say), which must still be
    printed, spaces aside.
``<!-- recipe: skip (REASON) -->``
    Not run; the reason (a display, the set-up itself...) is required.

Links to the README's own headings and to files beside it must lead
somewhere.

Blocks marked ``text`` (console output, file contents) need no marker.

The work folder holds what a checkout holds after ``./scripts/example.sh``:
``build`` (a link to the build tree, with ``build/bin``, ``build/python``
and ``build/examples``) and a copy of ``examples/`` (the parameter file,
the scripts; not ``examples/output``). ``HOME``
is a folder inside it and ``PYTHONPATH`` is cleared, so a recipe that does
not give the module path fails here as it would for a reader.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

SHELL_LANGUAGES = {"sh", "bash", "shell"}
PYTHON_LANGUAGES = {"python", "py"}
TEXT_LANGUAGES = {"text", "console", "ini", "xml"}
MARKER = re.compile(r"^<!--\s*recipe:\s*(?P<kind>[a-z-]+)\s*(?P<argument>.*?)\s*-->\s*$")
FENCE = re.compile(r"^(?P<indent>\s*)```(?P<language>\S*)\s*$")
# A bare python3 resolves to whatever comes first on PATH (often a pyenv
# shim that sees none of Debian's packages); recipes name Debian's.
BARE_PYTHON = re.compile(r"(?<![/\w.-])python3?(?![\w.-])")
BLOCK_SECONDS = 300


class RecipeError(Exception):
    """A README whose recipes cannot be run as marked."""


@dataclasses.dataclass
class Block:
    """One fenced code block and what its marker says to do with it."""

    line: int  # line of the opening fence, counted from 1
    language: str
    text: str
    kind: str | None
    argument: str

    def where(self) -> str:
        return f"README line {self.line}"


def parse(readme: str) -> list[Block]:
    """Return the README's fenced code blocks with their markers.

    Raises
    ------
    RecipeError
        For a block without a language, a shell or Python block without a
        marker, an unknown marker or one that no block follows, or a fence
        that is never closed.
    """
    lines = readme.splitlines()
    blocks: list[Block] = []
    pending: tuple[str, str, int] | None = None  # kind, argument, line
    index = 0
    while index < len(lines):
        line = lines[index]
        marker = MARKER.match(line.strip())
        fence = FENCE.match(line)
        if marker:
            pending = (marker["kind"], marker["argument"], index + 1)
        elif fence:
            start = index + 1
            indent = len(fence["indent"])
            body: list[str] = []
            index += 1
            while index < len(lines) and not re.match(r"^\s*```\s*$", lines[index]):
                text = lines[index]
                body.append(text[indent:] if text[:indent].isspace() else text)
                index += 1
            if index == len(lines):
                raise RecipeError(f"README line {start}: the code block is never closed")
            kind, argument, _ = pending if pending else (None, "", 0)
            blocks.append(Block(start, fence["language"], "\n".join(body) + "\n", kind, argument))
            pending = None
        elif line.strip() and pending:
            raise RecipeError(
                f"README line {pending[2]}: the recipe marker is not followed " f"by a code block"
            )
        index += 1
    for block in blocks:
        check_marker(block)
    check_python_files_are_run(blocks)
    return blocks


def check_marker(block: Block) -> None:
    """Refuse a block whose marker is missing, unknown or incomplete."""
    language = block.language
    if not language:
        raise RecipeError(
            f"{block.where()}: the code block names no language " f"(sh, python or text)"
        )
    if language not in SHELL_LANGUAGES | PYTHON_LANGUAGES | TEXT_LANGUAGES:
        raise RecipeError(f"{block.where()}: unknown code block language '{language}'")
    if block.kind is None:
        if language in TEXT_LANGUAGES:
            return
        raise RecipeError(
            f"{block.where()}: the {language} block has no " f"<!-- recipe: ... --> marker"
        )
    if block.kind in ("run", "local-cluster"):
        if language in TEXT_LANGUAGES:
            raise RecipeError(f"{block.where()}: a {language} block cannot be run")
        if block.kind == "run" and block.argument:
            raise RecipeError(f"{block.where()}: 'run' takes nothing after it")
        if block.argument and not re.fullmatch(r":\s*\S.*", block.argument):
            raise RecipeError(
                f"{block.where()}: 'local-cluster' takes ': COMMAND', " f"its local form"
            )
        if language in SHELL_LANGUAGES:
            for number, text in enumerate(block.text.splitlines(), block.line + 1):
                code = text.split("#", 1)[0]
                if BARE_PYTHON.search(code):
                    raise RecipeError(
                        f"README line {number}: name the interpreter " f"as /usr/bin/python3"
                    )
        if BARE_PYTHON.search(local_command(block)):
            raise RecipeError(f"{block.where()}: name the interpreter as /usr/bin/python3")
    elif block.kind in ("file", "same-as"):
        relative = re.fullmatch(r"[\w.-]+(/[\w.-]+)*", block.argument)
        if not relative or ".." in block.argument.split("/"):
            raise RecipeError(
                f"{block.where()}: '{block.kind}' needs a relative file name, "
                f"found '{block.argument}'"
            )
    elif block.kind == "output-of":
        if language not in TEXT_LANGUAGES or not block.argument:
            raise RecipeError(f"{block.where()}: 'output-of' needs a command and a text block")
    elif block.kind == "skip":
        if not re.fullmatch(r"\(.+\)", block.argument):
            raise RecipeError(f"{block.where()}: 'skip' needs its reason in brackets")
    else:
        raise RecipeError(f"{block.where()}: unknown recipe marker '{block.kind}'")


def local_command(block: Block) -> str:
    """The command a ``local-cluster: COMMAND`` marker runs instead of its block."""
    return block.argument[1:].strip() if block.argument.startswith(":") else ""


def check_python_files_are_run(blocks: list[Block]) -> None:
    """Refuse a Python file recipe that no later runnable block runs."""
    for position, block in enumerate(blocks):
        if block.kind != "file" or not block.argument.endswith(".py"):
            continue
        runner = re.compile(
            r"/usr/bin/python3\s+(?:\S+\s+)*?" + re.escape(block.argument) + r"(?![\w.])"
        )
        if not any(
            later.kind in ("run", "local-cluster")
            and (runner.search(later.text) or runner.search(local_command(later)))
            for later in blocks[position + 1 :]
        ):
            raise RecipeError(
                f"{block.where()}: {block.argument} is written but no later recipe "
                f"runs it with /usr/bin/python3"
            )


def anchor(heading: str) -> str:
    """The anchor a Markdown renderer gives a heading, as GitHub makes it."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def check_links(readme: str, folder: Path) -> None:
    """Refuse a link to a heading or a file that is not there.

    Raises
    ------
    RecipeError
        Naming the line of the first broken link.
    """
    prose: list[tuple[int, str]] = []
    in_code = False
    for number, line in enumerate(readme.splitlines(), 1):
        if FENCE.match(line) or re.match(r"^\s*```\s*$", line):
            in_code = not in_code
        elif not in_code:
            prose.append((number, line))
    anchors = {anchor(line.lstrip("#")) for _, line in prose if re.match(r"^#{1,6} ", line)}
    for number, line in prose:
        for target in re.findall(r"\]\(([^)\s]+)\)", line):
            if re.match(r"^[a-z]+:", target):
                continue  # a web address: not followed here
            path, _, fragment = target.partition("#")
            if path and not (folder / path).exists():
                raise RecipeError(f"README line {number}: the link to {path} leads nowhere")
            if not path and fragment not in anchors:
                raise RecipeError(f"README line {number}: no heading has the anchor #{fragment}")


def prepare(work: Path, build: Path, source: Path) -> None:
    """Lay out the work folder as a checkout after the set-up looks."""
    for part in ("bin", "python", "examples"):
        if not (build / part).is_dir():
            raise RecipeError(f"the build tree {build} has no {part}/: build it first")
    (work / "build").symlink_to(build, target_is_directory=True)
    # The source's examples (parameter file, scripts), without the outputs
    # that example.sh left there.
    shutil.copytree(source / "examples", work / "examples", ignore=shutil.ignore_patterns("output"))


def environment(work: Path) -> dict[str, str]:
    """The reader's environment, without a module path of our own."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    env["HOME"] = str(work / "home")
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    # A window could not open here; a recipe that tries fails instead of waiting.
    env["QT_QPA_PLATFORM"] = "offscreen"
    env.pop("DISPLAY", None)
    return env


def run_block(block: Block, work: Path, env: dict[str, str], number: int) -> str:
    """Run one recipe in the work folder and return its standard output.

    Raises
    ------
    RecipeError
        If it ends with another status than 0 or runs too long.
    """
    if block.language in PYTHON_LANGUAGES:
        script = work / ".recipes" / f"recipe-{number}.py"
        command = ["/usr/bin/python3", str(script)]
    else:
        script = work / ".recipes" / f"recipe-{number}.sh"
        command = ["bash", "-e", "-o", "pipefail", str(script)]
    script.write_text(block.text)
    # A session of its own, so that a recipe that hangs is stopped with
    # everything it started (Dask's worker processes, a pipeline).
    with subprocess.Popen(
        command,
        cwd=work,
        env=env,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    ) as process:
        try:
            stdout, stderr = process.communicate(timeout=BLOCK_SECONDS)
        except subprocess.TimeoutExpired as timeout:
            os.killpg(process.pid, signal.SIGKILL)
            process.communicate()
            raise RecipeError(
                f"{block.where()}: still running after {BLOCK_SECONDS} s"
            ) from timeout
    if process.returncode != 0:
        raise RecipeError(
            f"{block.where()}: the {block.language} recipe ended with status "
            f"{process.returncode}\n--- recipe\n{block.text}--- standard output\n"
            f"{stdout[-4000:]}--- standard error\n{stderr[-4000:]}"
        )
    return stdout


def spaced(text: str) -> str:
    """The text with every run of white space made one space."""
    return " ".join(text.split())


def run(blocks: list[Block], work: Path, source: Path) -> int:
    """Run or write every block in order; return how many were run."""
    env = environment(work)
    (work / "home").mkdir()
    (work / ".recipes").mkdir()
    count = 0
    for number, block in enumerate(blocks, 1):
        if block.kind == "file":
            target = work / block.argument
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_text(block.text)
            print(f"{block.where()}: wrote {block.argument}")
        elif block.kind == "same-as":
            original = (source / block.argument).read_text(encoding="utf-8").replace("\r\n", "\n")
            if block.text != original:
                raise RecipeError(
                    f"{block.where()}: the block is no longer a copy of " f"{block.argument}"
                )
            print(f"{block.where()}: the same as {block.argument}")
        elif block.kind == "output-of":
            command = Block(block.line, "sh", block.argument + "\n", "run", "")
            if spaced(block.text) not in spaced(run_block(command, work, env, number)):
                raise RecipeError(
                    f"{block.where()}: '{block.argument}' no longer prints " f"this block"
                )
            print(f"{block.where()}: printed by {block.argument}")
        elif block.kind in ("run", "local-cluster"):
            local = local_command(block)
            print(f"{block.where()}: {block.kind}{': ' + local if local else ''}", flush=True)
            run_block(
                Block(block.line, "sh", local + "\n", block.kind, "") if local else block,
                work,
                env,
                number,
            )
            count += 1
        elif block.kind == "skip":
            print(f"{block.where()}: skipped {block.argument}")
    return count


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Run the README's recipes in a fresh folder.")
    parser.add_argument("--readme", type=Path, required=True, help="the README to read")
    parser.add_argument("--build", type=Path, required=True, help="the build tree")
    parser.add_argument("--source", type=Path, required=True, help="the source tree")
    parser.add_argument(
        "--keep", action="store_true", help="keep the work folder and say where it is"
    )
    parser.add_argument("--check-only", action="store_true", help="check the markers, run nothing")
    options = parser.parse_args(argv)
    try:
        text = options.readme.read_text(encoding="utf-8")
        check_links(text, options.readme.resolve().parent)
        blocks = parse(text)
        if options.check_only:
            print(f"{len(blocks)} code blocks, markers in order")
            return 0
        work = Path(tempfile.mkdtemp(prefix="talvex-readme-"))
        try:
            prepare(work, options.build.resolve(), options.source.resolve())
            count = run(blocks, work, options.source.resolve())
        finally:
            if options.keep:
                print(f"work folder kept: {work}")
            else:
                shutil.rmtree(work, ignore_errors=True)
    except (RecipeError, OSError) as failure:
        print(f"run_recipes: {failure}", file=sys.stderr)
        return 1
    print(f"{count} recipes ran and succeeded")
    return 0


if __name__ == "__main__":
    sys.exit(main())
