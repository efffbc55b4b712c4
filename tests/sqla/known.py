"""Tests of SQLAlchemy's suite known to fail under ztcondb, each with its reason: those
that fail under psycopg2 on the same server too, and those waiting on work elsewhere in
the tree. A key is "Class::test" (every parametrization) or a whole node id tail."""
import re

_BOTH = "fails under psycopg2 too (the suite of SQLAlchemy 1.4 against PostgreSQL 15)"

KNOWN = {
    "ComponentReflectionTest::test_get_pk_constraint": _BOTH,
    "ComponentReflectionTest::test_get_table_names[None-False-True-False-_exclusions3]": _BOTH,
    "ComponentReflectionTest::test_get_table_names[None-False-True-True-_exclusions4]": _BOTH,
    "ComponentReflectionTest::test_get_table_names[None-True-True-False-_exclusions5]": _BOTH,
    "ComponentReflectionTest::test_get_table_names[None-True-True-True-_exclusions6]": _BOTH,
    "ComponentReflectionTest::test_get_temp_table_indexes": _BOTH,
    "DistinctOnTest::test_distinct_on": _BOTH,
}


def short_id(nodeid):
    """"Class::test[params]" of a node id, without the file and the class's driver
    suffix (ServerSideCursorsTest_postgresql+ztcondb_15_18)."""
    tail = nodeid.split("::", 1)[-1] if nodeid.count("::") > 1 else nodeid
    return re.sub(r"_postgresql\+\w+?_\d+(?:_\d+)*::", "::", tail)


def reason(nodeid):
    """Why the test is known to fail, or None."""
    test = short_id(nodeid)
    return KNOWN.get(test) or KNOWN.get(test.split("[", 1)[0])
