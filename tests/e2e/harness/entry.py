"""What every program driving the harness does first: take the built
artefacts from its command line and turn termination signals into an
exception, so that its `finally` tears the environments down."""

import os
import signal


class Interrupted(KeyboardInterrupt):
    """A termination signal; a KeyboardInterrupt so that unittest lets it through."""


def _interrupt(signum, _frame):
    raise Interrupted(f"signal {signum}")


def add_build_arguments(parser):
    parser.add_argument("--kest-update", required=True)
    parser.add_argument("--kestd-v1", required=True)
    parser.add_argument("--kestd-v2", required=True)
    parser.add_argument("--syscall-filter", help="the test harness's system-call filter program")


def use_builds(args):
    """Hands the built files named on the command line to agent.Builds."""
    os.environ["KEST_UPDATE_BIN"] = os.path.abspath(args.kest_update)
    os.environ["KESTD_V1_BIN"] = os.path.abspath(args.kestd_v1)
    os.environ["KESTD_V2_BIN"] = os.path.abspath(args.kestd_v2)
    if args.syscall_filter:
        os.environ["KEST_SYSCALL_FILTER_BIN"] = os.path.abspath(args.syscall_filter)


def stop_on_signals():
    for signum in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(signum, _interrupt)
