"""Starts a private MariaDB server, loads the benchmark tables, runs the
command given with ORVEKSDK_BENCH_DB naming the database, and removes the
server again."""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.append(os.path.join(HERE, "..", "scripts"))
import private_mariadb  # noqa: E402

TABLES, ROWS = 10, 10_000
BIG_ROWS = 1_000_000


def load(server):
    server.execute("CREATE DATABASE bench", "CREATE USER 'bench'@'%' IDENTIFIED BY 'bench-pass'",
                   "GRANT ALL ON bench.* TO 'bench'@'%'")
    conn = server.admin("bench")
    try:
        with conn.cursor() as cur:
            for t in range(TABLES):
                cur.execute(f"CREATE TABLE t{t:02d} (id INT PRIMARY KEY, taken DATETIME,"
                            " amount DOUBLE, label VARCHAR(32))")
                cur.executemany(f"INSERT INTO t{t:02d} VALUES (%s, %s, %s, %s)",
                                [(i, f"2024-01-01 {i // 3600 % 24:02d}:{i // 60 % 60:02d}:{i % 60:02d}",
                                  i * 0.25 + t, f"label {i % 97}") for i in range(ROWS)])
    finally:
        conn.close()
    # One large table, for the memory figure: rows made by the server's
    # sequence engine rather than sent one by one.
    server.execute("CREATE DATABASE bench_big", "GRANT ALL ON bench_big.* TO 'bench'@'%'",
                   "CREATE TABLE bench_big.big (id INT PRIMARY KEY, taken DATETIME,"
                   " amount DOUBLE, label VARCHAR(32))")
    server.execute("INSERT INTO big SELECT seq, TIMESTAMP('2024-01-01') + INTERVAL seq SECOND,"
                   f" seq * 0.25, CONCAT('label ', seq % 97) FROM seq_1_to_{BIG_ROWS}",
                   database="bench_big")


def main():
    with private_mariadb.PrivateMariaDB() as server:
        load(server)
        address = f"{server.host}:{server.port},bench,bench-pass"
        env = dict(os.environ, ORVEKSDK_BENCH_DB=f"{address},bench",
                   ORVEKSDK_BENCH_BIG_DB=f"{address},bench_big")
        sys.exit(subprocess.call(sys.argv[1:], env=env))


if __name__ == "__main__":
    main()
