"""The processes a test started, found through /proc."""
import os


def session_processes(session):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.getsid(int(entry)) == session:
                    found.append(int(entry))
            except OSError:
                pass
    return found
