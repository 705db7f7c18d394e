"""Harness of the end-to-end suite: throwaway systemd containers, hosts
without systemd, the sample agent, and the log lines they record."""
