"""Runs talvex-geo as a process: its command line, its progress and its
messages on standard error, and stopping it on request."""

from __future__ import annotations

import codecs
import os
import queue
import re
import shutil
import signal
import subprocess
import threading
from typing import Callable, FrozenSet, List, Optional, Sequence, Tuple

PROGRAM = "talvex-geo"
# The prefix of every message of talvex-geo, left out of the texts shown.
MESSAGE_PREFIX = PROGRAM + ": "
# Where a Debian package puts it, when it is neither configured nor on PATH.
SYSTEM_FOLDER = "/usr/bin"

# How often a run looks at its messages and at the request to stop, seconds.
POLL_SECONDS = 0.1

# GDAL-style progress, "label: 0...10...20 ... 100 - done.", as far as it has
# come: the figures every 10 % and a dot every 2.5 % between them.
_PROGRESS = re.compile(r"^(?:[^:\d]*:\s*)?0(\.[\d.]*)?( - done\.)?")
_PROGRESS_FIGURE = re.compile(r"(\d+)(\.*)")
_PERCENT_PER_DOT = 2.5
_DOTS_PER_FIGURE = 3
_FULL_PERCENT = 100.0


class TalvexGeoFailure(Exception):
    """A run of talvex-geo that did not complete, with its own message."""


class Stopped(Exception):
    """A run of talvex-geo stopped on request."""


def find_program(configured: str, beside_plugin: str) -> str:
    """The talvex-geo to run.

    Parameters
    ----------
    configured
        The path the user set in the provider's settings; empty when unset.
    beside_plugin
        The path recorded when the plugin was built or installed.

    Returns
    -------
    str
        The first of ``configured``, ``beside_plugin``, talvex-geo on PATH and
        the system's that exists.

    Raises
    ------
    TalvexGeoFailure
        When none exists, or a configured path is not a program.
    """
    if configured:
        if os.path.isfile(configured) and os.access(configured, os.X_OK):
            return configured
        raise TalvexGeoFailure(
            f'The {PROGRAM} set in the TALVEX provider\'s settings, "{configured}", '
            "is not a program that can be run."
        )
    candidates = [beside_plugin, shutil.which(PROGRAM), os.path.join(SYSTEM_FOLDER, PROGRAM)]
    for candidate in candidates:
        if candidate and os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    raise TalvexGeoFailure(
        f"{PROGRAM} was not found: install TALVEX, or set the path of {PROGRAM} in "
        "Processing > Options > Providers > TALVEX."
    )


# The switches of talvex-geo this plugin uses when talvex-geo has them.
PROGRESS_SWITCH = "-progress"
ELEVATION_MAP_SWITCH = "-elevation"
AEROSOL_MAP_SWITCH = "-aod"


def switches(program: str) -> FrozenSet[str]:
    """The switches this talvex-geo takes, as its usage names them."""
    try:
        done = subprocess.run(
            [program, "--help"],
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            text=True,
            timeout=30,
        )
    except (OSError, subprocess.SubprocessError):
        return frozenset()
    return frozenset(re.findall(r"\[(-[a-z]+)\b", done.stdout))


def _split_progress(line: str) -> Tuple[str, str]:
    """A line's progress, and the text after it (the whole line when it
    holds no progress)."""
    match = _PROGRESS.match(line)
    if match is None or not (match.group(1) or match.end() == len(line.rstrip())):
        return "", line
    return match.group(0), line[match.end() :]


def _percent(progress: str) -> float:
    figure, dots = _PROGRESS_FIGURE.findall(progress.rsplit(":", 1)[-1])[-1]
    steps = min(len(dots), _DOTS_PER_FIGURE)
    return min(_FULL_PERCENT, float(figure) + steps * _PERCENT_PER_DOT)


class ProgressReader:
    """Splits what talvex-geo writes on standard error into the progress of
    the run (one GDAL-style line) and messages."""

    def __init__(self) -> None:
        self._pending = ""
        self.messages: List[str] = []

    def feed(self, text: str) -> Optional[float]:
        """Takes more text; returns the progress of the whole run in percent,
        when the text told something of it, else None."""
        self._pending += text
        percent = None
        *complete, self._pending = self._pending.split("\n")
        for line in complete:
            progress, rest = _split_progress(line)
            if progress:
                percent = _FULL_PERCENT if progress.endswith("done.") else _percent(progress)
            if rest.strip():
                self.messages.append(rest)
        progress, rest = _split_progress(self._pending)
        if progress and not rest:
            percent = _percent(progress)
        return percent

    def finish(self) -> None:
        """Takes the last line, when it had no line end."""
        _, rest = _split_progress(self._pending)
        if rest.strip():
            self.messages.append(rest)
        self._pending = ""

    def failure_text(self) -> str:
        """The messages, each without talvex-geo's prefix."""
        return "\n".join(without_prefix(line) for line in self.messages)


def without_prefix(line: str) -> str:
    """A message of talvex-geo without the program's name in front."""
    return line[len(MESSAGE_PREFIX) :] if line.startswith(MESSAGE_PREFIX) else line


def _read_into(stream, chunks: "queue.Queue[Optional[bytes]]") -> None:
    fd = stream.fileno()
    while True:
        chunk = os.read(fd, 4096)
        if not chunk:
            break
        chunks.put(chunk)
    chunks.put(None)


def run(
    command: Sequence[str],
    stop_requested: Callable[[], bool],
    on_progress: Callable[[float], None],
) -> Tuple[int, ProgressReader]:
    """Runs talvex-geo to its end, or until ``stop_requested()``.

    Parameters
    ----------
    command
        The program and its arguments.
    stop_requested
        Asked while it runs; when it says True, talvex-geo is sent SIGTERM
        (on which it removes its temporaries) and waited for.
    on_progress
        Given the progress in percent whenever it advances.

    Returns
    -------
    tuple of (int, ProgressReader)
        The exit status and the messages.

    Raises
    ------
    Stopped
        When the run was stopped on request.
    TalvexGeoFailure
        When the program cannot be started.
    """
    reader = ProgressReader()
    try:
        process = subprocess.Popen(
            list(command),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
        )
    except OSError as error:
        raise TalvexGeoFailure(f"{command[0]} could not be started: {error.strerror}.") from None
    chunks: "queue.Queue[Optional[bytes]]" = queue.Queue()
    pump = threading.Thread(target=_read_into, args=(process.stderr, chunks), daemon=True)
    pump.start()
    # A character may be split between two reads.
    decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
    stopped = False
    ended = False
    while not ended:
        try:
            chunk = chunks.get(timeout=POLL_SECONDS)
        except queue.Empty:
            chunk = b""
        if chunk is None:
            ended = True
            reader.feed(decoder.decode(b"", final=True))
        elif chunk:
            percent = reader.feed(decoder.decode(chunk))
            if percent is not None:
                on_progress(percent)
        if not stopped and stop_requested() and process.poll() is None:
            process.send_signal(signal.SIGTERM)
            stopped = True
    status = process.wait()
    pump.join()
    process.stderr.close()
    reader.finish()
    if stopped:
        raise Stopped()
    return status, reader
