"""A study's record (study.sqlite in a vbsfit-batch report directory) as
tables: pure Python, with the standard library's sqlite3."""

import os
import sqlite3
import urllib.parse
import warnings

SCHEMA_VERSION = 5  # PRAGMA user_version of the newest studies this module reads
# Version 1 lacks the runs' record_sha256 column; its studies are read as they are.
OLDEST_SCHEMA_VERSION = 1
# Versions before 4 kept each coefficient's flag ('determined', 'undetermined',
# 'no effect') and no ols_standard_error: read_study maps the flag to the
# verdict by the rule vbsfit-batch applies (no effect first, then a misfit
# bin, then the flag) and gives the standard error, of that kind, as both.
VERDICT_SCHEMA_VERSION = 4

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


_EARLIER_COEFFICIENTS = (
    "SELECT t.species, t.scenario, t.tag, t.target_bin, t.term, t.coefficient, t.lower, "
    "t.upper, t.at_bound, t.standard_error, "
    "CASE WHEN t.flag = 'no effect' THEN 'no effect' WHEN f.misfit THEN 'misfit' "
    "WHEN t.flag = 'determined' THEN 'trusted' ELSE t.flag END AS flag, "
    "t.standard_error AS ols_standard_error "
    "FROM coefficients t JOIN configurations c USING (species, scenario, tag) "
    "LEFT JOIN fits f USING (species, scenario, tag, target_bin) "
    f"ORDER BY {_ORDER}, t.target_bin, {_TERM}")


def _read_only_uri(path, immutable=False):
    uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=ro"
    return uri + ("&immutable=1" if immutable else "")


def _immutable_reading_fits(path):
    """Whether a study that a reader could not open may be read as an
    immutable file: only when its directory cannot be written (a read-only
    disk: no writer can be at work, and a reader cannot make its shared
    memory index) and no write-ahead log holds commits."""
    wal = path + "-wal"
    return (not os.access(os.path.dirname(os.path.abspath(path)), os.W_OK, effective_ids=True)
            and (not os.path.exists(wal) or os.path.getsize(wal) == 0))


def _connect(report_dir):
    path = os.path.join(os.fspath(report_dir), "study.sqlite")
    if not os.path.isfile(path):
        raise FileNotFoundError(f"{path}: no study here; give the report directory of a "
                                "vbsfit-batch study")
    db = sqlite3.connect(_read_only_uri(path), uri=True)
    try:
        try:
            version = db.execute("PRAGMA user_version").fetchone()[0]
        except sqlite3.OperationalError:
            if not _immutable_reading_fits(path):
                raise
            db.close()
            db = sqlite3.connect(_read_only_uri(path, immutable=True), uri=True)
            version = db.execute("PRAGMA user_version").fetchone()[0]
        db.execute("SELECT count(*) FROM sqlite_schema").fetchone()  # reads the schema
    except (sqlite3.DatabaseError, UnicodeDecodeError) as e:
        db.close()
        raise ValueError(f"{path} is not a study database ({_reason(e)})") from None
    if not OLDEST_SCHEMA_VERSION <= version <= SCHEMA_VERSION:
        db.close()
        newer = version > SCHEMA_VERSION
        raise ValueError(f"{path} has schema {version}; this module reads schema "
                         f"{SCHEMA_VERSION}" + ("; update vbsfit" if newer else ""))
    return db, path, version


def _reason(error):
    """What went wrong, as a message may quote it: SQLite's words, or, when
    they held bytes that are not UTF-8, that the file holds such bytes."""
    if isinstance(error, UnicodeDecodeError):
        return "it holds bytes that are not UTF-8 where text belongs: it is damaged"
    return str(error)


def read_study(report_dir, pandas=None):
    """The study in report_dir (its study.sqlite) as a dict of tables:
    "runs" (one row per configuration: state, message, files and their
    SHA-256, rate constants, ...), "coefficients", "fits" and "models", with
    the database's column names and full-precision numbers (None or NaN where
    the study has no value). The coefficients' "flag" is each one's verdict:
    "trusted", "undetermined", "misfit" or "no effect". A study written
    before schema 4 kept flags instead: they are mapped to verdicts by the
    same rule, its standard errors (all of the ols_standard_error kind) are
    given as they are, and a UserWarning says so; a vbsfit-batch run over
    the study upgrades it and records the figures anew. Each is a pandas DataFrame when pandas is
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
    db, path, version = _connect(report_dir)
    queries = dict(_QUERIES)
    if version < VERDICT_SCHEMA_VERSION:
        queries["coefficients"] = _EARLIER_COEFFICIENTS
        warnings.warn(f"{path} is a study of schema {version}: its coefficients' verdicts are "
                      "mapped from their earlier flags and their standard errors are of the "
                      "earlier kind (ols_standard_error); run vbsfit-batch over it to upgrade it "
                      "and record the figures anew", UserWarning, stacklevel=2)
    try:
        db.execute("BEGIN")  # one snapshot for all four tables
        tables = {}
        for name, query in queries.items():
            cursor = db.execute(query)
            columns = [d[0] for d in cursor.description]
            rows = cursor.fetchall()
            if pd is not None:
                tables[name] = pd.DataFrame.from_records(rows, columns=columns)
            else:
                tables[name] = [dict(zip(columns, row)) for row in rows]
        db.execute("COMMIT")
        return tables
    except (sqlite3.DatabaseError, UnicodeDecodeError) as e:
        raise ValueError(f"{path} is not a readable study ({_reason(e)})") from None
    finally:
        db.close()
