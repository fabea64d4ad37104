"""One prepare_data of a database, in a process of its own, as a user's
first call would run it (no cache file yet).

    python bench/read_one.py compiled|plain VARIABLE [--memory]

VARIABLE names the environment variable with the database's address
(host:port,user,password,database). Prints one line of JSON: the seconds
the call took, the rows and the bytes of the frames it gave, and with
--memory its peak of traced memory (tracemalloc slows the call, so the
time of such a run is not the call's time). The process's peak resident
size comes with either.
"""
import json
import os
import resource
import sys
import tempfile
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def main():
    side, variable = sys.argv[1], sys.argv[2]
    memory = "--memory" in sys.argv
    if side == "compiled":
        import orveksdk.tablescope as module
    else:
        import baseline as module
    host, user, password, database = os.environ[variable].split(",")
    obj = module.MySQLDatabaseTableScope(user, password, host, database, tempfile.mkdtemp(prefix="orveksdk-read-"))
    obj.connect()
    if memory:
        tracemalloc.start()
    started = time.perf_counter()
    frames = obj.prepare_data()
    seconds = time.perf_counter() - started
    peak = tracemalloc.get_traced_memory()[1] if memory else None
    tracemalloc.stop()
    print(json.dumps({
        "seconds": seconds, "rows": sum(len(f) for f in frames),
        "frame_bytes": sum(int(f.memory_usage(deep=True).sum()) for f in frames),
        "peak": peak, "max_rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}))


if __name__ == "__main__":
    main()
