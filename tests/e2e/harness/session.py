"""Environments of one suite run. The systemd container is booted once, on
first use, and shared by every scenario; hosts without systemd are made per
scenario. shutdown() tears down whatever is still up: run_e2e.py calls it
however the run ends, and atexit covers other ways of running."""

import atexit

from .bare_host import BareHost
from .systemd_container import SystemdContainer

_container = None
_bare_hosts = []


def systemd_container():
    global _container
    if _container is None:
        container = SystemdContainer()
        try:
            container.boot()
        except BaseException:
            container.shutdown()
            raise
        _container = container
    return _container


def bare_host(upper_files, kind=BareHost, **options):
    """A fresh host without systemd (a BareHost, or the given subclass of it, made with the
    given options); stop it with release_bare_host."""
    host = kind(**options)
    _bare_hosts.append(host)
    host.start(upper_files)
    return host


def release_bare_host(host):
    host.stop()
    if host in _bare_hosts:
        _bare_hosts.remove(host)


def shutdown():
    global _container
    while _bare_hosts:
        release_bare_host(_bare_hosts[-1])
    if _container is not None:
        container, _container = _container, None
        container.shutdown()


atexit.register(shutdown)
