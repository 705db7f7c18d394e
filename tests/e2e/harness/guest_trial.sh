#!/bin/sh
# The power-cut trial's own step in the guest (kest-e2e-trial.service, after kest.service).
# kest_e2e=update on the kernel command line: tells the running agent to update itself, as
# a real agent is told, and says when its updater has come and gone. kest_e2e=report: says
# which agent this boot runs, then powers off. It speaks on the serial console only.
set -u
mode=$(sed -n 's/.*kest_e2e=\([a-z]*\).*/\1/p' /proc/cmdline)
boot_time=$(sed -n 's/^btime //p' /proc/stat)

say() { echo "kest-e2e: $*" >/dev/ttyS0; }

# "RELEASE PID" of the agent started in this boot as kest.service's main process.
running_agent() {
    read -r release pid started </var/lib/kestd/agent 2>/dev/null || return 1
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = kestd ] &&
        [ "$((started / 1000000))" -ge "$boot_time" ] &&
        [ "$(systemctl show -P MainPID kest.service)" = "$pid" ] &&
        echo "$release $pid"
}

no_updater() { ! grep -qx kest-update /proc/[0-9]*/comm 2>/dev/null; }

# poll SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds, for at most SECONDS.
poll() {
    left=$(($1 * 10))
    shift
    until "$@" >/dev/null 2>&1; do
        left=$((left - 1))
        [ "$left" -gt 0 ] || return 1
        sleep 0.1
    done
}

case "$mode" in
update)
    poll 120 running_agent || { say "no agent to update"; exit 1; }
    say "updating agent $(running_agent)"
    systemctl kill --kill-who=main --signal=SIGUSR1 kest.service
    poll 120 test -s /var/lib/kestd/update-status || { say "the agent started no update"; exit 1; }
    poll 300 no_updater || { say "the updater did not end"; exit 1; }
    say "update finished"
    ;;
report)
    if poll 60 running_agent; then
        agent=$(running_agent)
        say "agent ${agent% *} ${agent#* } runs $(readlink "/proc/${agent#* }/exe")"
    else
        say "agent none, kest.service $(systemctl is-active kest.service)"
    fi
    systemctl --no-block poweroff
    ;;
esac
