"""load_balance_hosts="random": the hosts of a host list tried in a random order, so
that sessions spread over them (libpq 16's setting, done here for libpq 15). With
target_session_attrs="standby" (or "read-only", "prefer-standby") each session then
reaches one of the standbys at random, and a host that does not answer is passed over
as before."""
from __future__ import annotations

import random
import re
from typing import Any, List, Optional, Tuple

from .connargs import HostArg, PortArg, is_dsn
from .errors import ProgrammingError

__all__ = ["spread_hosts"]

MODES = ("disable", "random")

# host=... and port=... of a key/value connection string, unquoted or single-quoted.
_KEY_VALUE = re.compile(r"(?:^|\s)(host|port)\s*=\s*('(?:[^'\\]|\\.)*'|\S+)")
# The host list of a URI: what stands between "://" (or "user@") and "/" or "?".
_URI_HOSTS = re.compile(r"^[a-z]+://(?:[^@/?]*@)?([^/?]*)")


def _split(value: Any) -> List[str]:
    if value is None:
        return []
    if isinstance(value, (list, tuple)):
        return [str(v) for v in value]
    return [v.strip() for v in str(value).split(",")]


def _from_dsn(dsn: str) -> Tuple[List[str], List[str]]:
    """The hosts and ports a connection string names (empty lists when it names none)."""
    if "://" in dsn:
        m = _URI_HOSTS.match(dsn)
        hosts, ports = [], []
        for item in (m.group(1).split(",") if m and m.group(1) else []):
            host, _, port = item.rpartition(":") if not item.endswith("]") else (item, "", "")
            if not host:               # no port given
                host, port = item, ""
            hosts.append(host.strip("[]"))
            ports.append(port)
        if not any(ports):
            ports = []
        return hosts, ports
    found = {key: value.strip("'") for key, value in _KEY_VALUE.findall(dsn)}
    return _split(found.get("host")), _split(found.get("port"))


def spread_hosts(mode: Optional[str], dsn: Optional[str], host: HostArg,
                 port: PortArg) -> Tuple[HostArg, PortArg]:
    """The host and port arguments for connect(): as given with "disable" (or None), in
    a random order of hosts with "random" (each host keeps its own port). Hosts named
    only by the DSN are taken from it and given as keywords, which override it."""
    if mode is None or mode == "disable":
        return host, port
    if mode != "random":
        raise ProgrammingError("load_balance_hosts must be one of %s, not %r"
                               % (", ".join(repr(m) for m in MODES), mode))
    hosts = _split(host)
    ports = _split(port) if port is not None else []
    if not hosts and dsn is not None and isinstance(dsn, str):
        if is_dsn(dsn):
            hosts, dsn_ports = _from_dsn(dsn)
            if not ports:
                ports = dsn_ports
        else:
            return spread_hosts(mode, None, dsn, port)
    if len(hosts) < 2:
        return host, port
    if len(ports) == len(hosts):
        pairs = list(zip(hosts, ports))
        random.shuffle(pairs)
        return [h for h, _ in pairs], [int(p) if p.isdigit() else p for _, p in pairs]
    random.shuffle(hosts)
    return hosts, port if port is not None else (ports[0] if len(ports) == 1 else None)
