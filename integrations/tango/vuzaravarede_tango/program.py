"""What the device asks the program beyond the client package's own calls: the instrument
session's stage and the loaded table's limits, read-only queries answered at once. Kept here, in
one place, so the device uses the package's generic `ask` narrowly."""

from typing import NamedTuple, Optional

import vuzaravarede

FilterError = vuzaravarede.FilterError

# SESSION's answers, each the stage of the program's instrument session.
SEARCHING, OPENING, READY, BUSY, SCANNING, UNUSABLE = (
    "SEARCHING", "OPENING", "READY", "BUSY", "SCANNING", "UNUSABLE")
STAGES = (SEARCHING, OPENING, READY, BUSY, SCANNING, UNUSABLE)


class Session(NamedTuple):
    """The program's answer to SESSION: a stage and, for UNUSABLE, the code of the failed read."""
    stage: str
    code: str = ""


class Limits(NamedTuple):
    """The loaded table's range, in nm."""
    cwl_min: float
    cwl_max: float
    cwl_step: float
    fwhm_min: float
    fwhm_max: float


def is_refusal(error: BaseException) -> bool:
    """True for the program's answer to a request it refused (it carries the program's code),
    false for a fault of the connection (refused, lost, timed out, unreadable answer)."""
    return isinstance(error, FilterError) and bool(error.code) and \
        not isinstance(error, (ConnectionError, TimeoutError))


def tango_text(text: str) -> str:
    """A text as Tango can carry it. Tango strings are Latin-1 (a string attribute holding any
    other character crashes the server of Debian's PyTango 9.3, and error descriptions are read
    back as Latin-1), so the program's "≥" and "≤" become ">=" and "<=", and any other character
    outside Latin-1 becomes "?"."""
    text = text.replace("\u2265", ">=").replace("\u2264", "<=")
    return text.encode("latin-1", "replace").decode("latin-1")


def parse_session(answer: str) -> Session:
    """SESSION's answer; ProtocolError for anything else (an older program answers
    UNKNOWN COMMAND)."""
    stage, _, code = answer.partition(",")
    if stage in STAGES and (stage == UNUSABLE) == bool(code) and "," not in code:
        return Session(stage, code)
    raise vuzaravarede.ProtocolError(f"unexpected response {answer!r}", "SESSION")


def parse_limits(answer: str) -> Optional[Limits]:
    """LIMITS' answer: None without a table; ProtocolError for anything else."""
    if answer == "NONE":
        return None
    try:
        return Limits(*(float(x) for x in answer.split(",", 4)))
    except (TypeError, ValueError):
        raise vuzaravarede.ProtocolError(f"unexpected response {answer!r}", "LIMITS") from None


async def session(client: "vuzaravarede.AsyncFilter") -> Session:
    return parse_session(await client.ask("SESSION"))


async def limits(client: "vuzaravarede.AsyncFilter") -> Optional[Limits]:
    return parse_limits(await client.ask("LIMITS"))
