"""A study's record (study.sqlite in a vbsfit-batch report directory) as
tables: pure Python, with the standard library's sqlite3."""

import os
import sqlite3
import urllib.parse

SCHEMA_VERSION = 2  # PRAGMA user_version of the newest studies this module reads
# Version 1 lacks the runs' record_sha256 column; its studies are read as they are.
OLDEST_SCHEMA_VERSION = 1

# Each table of read_study, in the order vbsfit-batch's tables list them: by
# the configuration's run, then target bin, then term (VOC, VB1 ... VB6).
_ORDER = "c.run, c.species, c.scenario, c.tag"
_TERM = "CASE t.term WHEN 'VOC' THEN 0 ELSE CAST(substr(t.term, 3) AS INTEGER) END"
_QUERIES = {
    "runs": f"SELECT * FROM configurations c ORDER BY {_ORDER}",
    "coefficients": "SELECT t.* FROM coefficients t JOIN configurations c "
                    f"USING (species, scenario, tag) ORDER BY {_ORDER}, t.target_bin, {_TERM}",
    "fits": "SELECT t.* FROM fits t JOIN configurations c "
            f"USING (species, scenario, tag) ORDER BY {_ORDER}, t.target_bin",
    "models": "SELECT t.* FROM models t JOIN configurations c "
              f"USING (species, scenario, tag) ORDER BY {_ORDER}",
}


def _connect(report_dir):
    path = os.path.join(os.fspath(report_dir), "study.sqlite")
    if not os.path.isfile(path):
        raise FileNotFoundError(f"{path}: no study here; give the report directory of a "
                                "vbsfit-batch study")
    uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=ro"
    db = sqlite3.connect(uri, uri=True)
    try:
        version = db.execute("PRAGMA user_version").fetchone()[0]
    except sqlite3.DatabaseError as e:
        db.close()
        raise ValueError(f"{path} is not a study database ({e})") from None
    if not OLDEST_SCHEMA_VERSION <= version <= SCHEMA_VERSION:
        db.close()
        newer = version > SCHEMA_VERSION
        raise ValueError(f"{path} has schema {version}; this module reads schema "
                         f"{SCHEMA_VERSION}" + ("; update vbsfit" if newer else ""))
    return db


def read_study(report_dir, pandas=None):
    """The study in report_dir (its study.sqlite) as a dict of tables:
    "runs" (one row per configuration: state, message, files and their
    SHA-256, rate constants, ...), "coefficients", "fits" and "models", with
    the database's column names and full-precision numbers (None or NaN where
    the study has no value). Each is a pandas DataFrame when pandas is
    installed (pandas=False forces lists of dicts, pandas=True requires it),
    otherwise a list of dicts. The study is read in one transaction, so a
    batch writing it meanwhile is seen as of one of its commits."""
    if pandas is None or pandas:
        try:
            import pandas as pd
        except ImportError:
            if pandas:
                raise
            pd = None
    else:
        pd = None
    db = _connect(report_dir)
    try:
        db.execute("BEGIN")  # one snapshot for all four tables
        tables = {}
        for name, query in _QUERIES.items():
            cursor = db.execute(query)
            columns = [d[0] for d in cursor.description]
            rows = cursor.fetchall()
            if pd is not None:
                tables[name] = pd.DataFrame.from_records(rows, columns=columns)
            else:
                tables[name] = [dict(zip(columns, row)) for row in rows]
        db.execute("COMMIT")
        return tables
    finally:
        db.close()
