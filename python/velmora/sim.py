"""The FSoE slave simulator: run a safety master against a simulated slave.

``SlaveSimulator`` plays the slave side of one FSoE connection cycle by cycle; see its
docstring for the protocol it follows, its clock and the faults it can inject
(``SlaveSimulator.FAULTS``). ``SlaveEvent`` is one entry of its event log.
"""
from ._core import SlaveEvent, SlaveSimulator

__all__ = ["SlaveSimulator", "SlaveEvent"]
