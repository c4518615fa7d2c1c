"""The tunable band-pass filter as a Tango device (`TunableFilter`), a client of the
VuzaRavarede program's remote control. Start it with ``python3 -m vuzaravarede_tango INSTANCE``.
"""

__all__ = ["TunableFilter"]


def __getattr__(name: str):
    # Imported on first use, so that --help answers without Tango or the client package.
    if name == "TunableFilter":
        from .device import TunableFilter
        return TunableFilter
    raise AttributeError(name)
