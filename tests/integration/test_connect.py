"""Opening sessions through ztcondb.connect against the test server: DSNs and URIs,
libpq's environment variables and password file, host lists with their ports and
target_session_attrs, TLS (pg_stat_ssl), and the reasons given for a failed open."""
import os
import shutil
import socket
import subprocess
import time

import pytest

import _pyztdb
import ztcondb

PASSWORD = "Pa55; PORT=1%3B"


def one(conn, sql):
    cur = conn.cursor()
    cur.execute(sql)
    return cur.fetchone()[0]


def session_facts(conn):
    """user, database, port and application name the session really has."""
    return one(conn, "select current_user || ' ' || current_database() || ' ' || "
                     "inet_server_port() || ' ' || current_setting('application_name')")


@pytest.fixture(scope="module")
def pwuser(pg):
    """The role the server asks for a password."""
    admin = ztcondb.connect(host=pg["host"], port=pg["port"], user=pg["user"], dbname=pg["db"])
    cur = admin.cursor()
    cur.execute("do $$begin if not exists (select from pg_roles where rolname = 'pwuser') "
                "then create role pwuser login; end if; end$$")
    cur.execute("alter role pwuser password '%s'" % PASSWORD.replace("'", "''"))
    admin.commit()
    admin.close()
    return "pwuser"


@pytest.fixture
def clean_env(monkeypatch, tmp_path):
    """No libpq variable from the caller's environment; an empty password file."""
    for name in list(os.environ):
        if name.startswith("PG"):
            monkeypatch.delenv(name)
    monkeypatch.setenv("PGPASSFILE", str(tmp_path / "no-such-pgpass"))
    return monkeypatch


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_environment_supplies_what_is_not_given(pg, pwuser, clean_env):
    clean_env.setenv("PGHOST", pg["host"])
    clean_env.setenv("PGPORT", str(pg["port"]))
    clean_env.setenv("PGUSER", pwuser)
    clean_env.setenv("PGDATABASE", pg["db"])
    clean_env.setenv("PGPASSWORD", PASSWORD)
    clean_env.setenv("PGAPPNAME", "from-env")
    clean_env.setenv("PGOPTIONS", "-c search_path=env_schema")
    conn = ztcondb.connect()
    assert session_facts(conn) == "pwuser %s %d from-env" % (pg["db"], pg["port"])
    assert one(conn, "show search_path") == "env_schema"
    conn.close()
    # Keywords win over the environment.
    conn = ztcondb.connect(user=pg["user"], application_name="kw")
    assert session_facts(conn) == "%s %s %d kw" % (pg["user"], pg["db"], pg["port"])
    conn.close()


def test_password_file_in_home(pg, pwuser, clean_env, tmp_path):
    passfile = tmp_path / ".pgpass"
    passfile.write_text("%s:%d:*:pwuser:%s\n" % (pg["host"], pg["port"], PASSWORD))
    passfile.chmod(0o600)
    clean_env.delenv("PGPASSFILE")
    clean_env.setenv("HOME", str(tmp_path))
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], user=pwuser, dbname=pg["db"])
    assert one(conn, "select current_user") == "pwuser"
    conn.close()


@pytest.mark.parametrize("form", [
    "postgresql://{user}@{host}:{port}/{db}?application_name=from-dsn",
    "host={host} port={port} user={user} dbname='{db}' application_name='from-dsn'",
], ids=["uri", "conninfo"])
def test_dsn_forms_and_keyword_overrides(pg, clean_env, form):
    dsn = form.format(**pg)
    conn = ztcondb.connect(dsn)
    assert session_facts(conn) == "%s %s %d from-dsn" % (pg["user"], pg["db"], pg["port"])
    conn.close()
    conn = ztcondb.connect(dsn, dbname="postgres", application_name="kw",
                           options="-c search_path=kw_schema,public")
    assert session_facts(conn) == "%s postgres %d kw" % (pg["user"], pg["port"])
    assert one(conn, "show search_path") == "kw_schema,public"
    # The library's own settings still hold beside the caller's options.
    assert one(conn, "show DateStyle") == "ISO, MDY"
    conn.close()


@pytest.mark.parametrize("dsn, reason", [
    ("host=127.0.0.1 port", ': missing "=" after "port" in connection info string'),
    # A DSN that may carry a password loses libpq's detail, which may quote part of it.
    ("postgresql://u:s3cr%zzet@h/db", ""),
    ("password='s3cret host=h", ""),
])
def test_bad_dsn_is_reported(clean_env, dsn, reason):
    with pytest.raises(ztcondb.OperationalError) as err:
        ztcondb.connect(dsn)
    assert str(err.value) == ("Connection information is not correct: [08001] the "
                              "connection text's DSN is not a valid connection string"
                              + reason)


SECRET = "Sekr1t-Tail"


def texts_of(exc):
    """Every text an error shows or carries: str, repr, its cause and context, the
    formatted traceback, and its pickled form."""
    import pickle
    import traceback
    chain = [exc, exc.__cause__, exc.__context__]
    texts = [str(e) for e in chain if e is not None] + [repr(e) for e in chain]
    texts.append("".join(traceback.format_exception(type(exc), exc, exc.__traceback__)))
    try:
        texts.append(pickle.dumps(exc).decode("latin-1"))
    except pickle.PicklingError:   # the module's classes live in no importable module
        pass
    return "\n".join(texts)


def _module_connect(pg, password, dsn=None):
    kwargs = {"dsn": dsn} if dsn else {}
    return _pyztdb.connection(pg["host"], pg["port"], pg["db"], "pwuser", password, "UTF8",
                              None, **kwargs)


# (how the password is given, the password): each open fails, with the password wrong
# or the DSN malformed around it.
PASSWORD_FORMS = [
    ("keyword", lambda pg: dict(password=SECRET)),
    ("conninfo", lambda pg: dict(dsn="password='%s' port=%d" % (SECRET, pg["port"]))),
    ("conninfo-quote", lambda pg: dict(dsn="password='%s\"x' host=" % SECRET)),
    ("uri-userinfo", lambda pg: dict(dsn="postgresql://pwuser:%s@%s:%d/%s"
                                         % (SECRET, pg["host"], pg["port"], pg["db"]))),
    ("uri-userinfo-quote", lambda pg: dict(dsn='postgresql://pwuser:a"%s%%zz@h/db' % SECRET)),
    ("uri-query", lambda pg: dict(dsn="postgresql://%s:%d/%s?password=%s"
                                      % (pg["host"], pg["port"], pg["db"], SECRET))),
    ("uri-query-encoded-key", lambda pg: dict(
        dsn="postgresql://%s:%d/%s?pass%%77ord=%s" % (pg["host"], pg["port"], pg["db"], SECRET))),
    ("uri-query-encoded-key-bad", lambda pg: dict(
        dsn="postgresql://h/db?pass%%77ord=%s%%zz" % SECRET)),
    ("uri-query-encoded-value", lambda pg: dict(
        dsn="postgresql://%s:%d/%s?password=%s" % (pg["host"], pg["port"], pg["db"],
                                                  "".join("%%%02X" % ord(c) for c in SECRET)))),
]


@pytest.mark.parametrize("face", ["module", "ztcondb"])
@pytest.mark.parametrize("form", PASSWORD_FORMS, ids=[f[0] for f in PASSWORD_FORMS])
def test_no_text_of_a_failed_open_holds_the_password(pg, pwuser, clean_env, face, form):
    given = form[1](pg)
    if face == "module":
        with pytest.raises(_pyztdb.Error) as err:
            _module_connect(pg, given.get("password", ""), given.get("dsn"))
    else:
        with pytest.raises(ztcondb.Error) as err:
            if "password" in given:
                ztcondb.connect(host=pg["host"], port=pg["port"], dbname=pg["db"],
                                user=pwuser, password=given["password"])
            else:
                ztcondb.connect(given["dsn"], user=pwuser)
    text = texts_of(err.value)
    assert str(err.value).startswith("Connection information is not correct")
    for fragment in (SECRET, SECRET[:6], SECRET[-5:], "***"):
        assert fragment not in text


@pytest.mark.parametrize("face", ["module", "ztcondb"])
@pytest.mark.parametrize("password", ["e", "co", "on"])
def test_a_short_password_leaves_the_message_whole_or_out(pg, pwuser, clean_env, face,
                                                         password):
    # Regression (every "e" of the message became "***": the message was mangled and
    # showed where the password's characters are).
    if face == "module":
        with pytest.raises(_pyztdb.Error) as err:
            _module_connect(pg, password)
    else:
        with pytest.raises(ztcondb.Error) as err:
            ztcondb.connect(host=pg["host"], port=pg["port"], dbname=pg["db"], user=pwuser,
                            password=password)
    assert "***" not in texts_of(err.value)
    assert str(err.value) == "Connection information is not correct"


@pytest.mark.parametrize("env, dsn_mode, refused", [
    (None, "disable", False),       # without PGSSLMODE the DSN's own choice holds
    (None, "allow", False),
    ("prefer", "disable", True),
    ("prefer", "allow", True),
    (None, "prefer", False),
    ("require", "prefer", True),
    ("require", "verify-full", False),
    ("disable", "disable", False),
    ("allow", "disable", True),
])
def test_a_dsn_in_the_host_position_cannot_weaken_sslmode(pg, clean_env, env, dsn_mode,
                                                          refused):
    if env:
        clean_env.setenv("PGSSLMODE", env)
    dsn = "host=%s port=%d user=%s dbname=%s sslmode=%s" % (
        pg["host"], pg["port"], pg["user"], pg["db"], dsn_mode)
    if not refused:
        try:
            ztcondb.connect(dsn).close()
        except ztcondb.OperationalError as exc:   # TLS asked of a server without it
            assert "SSL" in str(exc)
        return
    with pytest.raises(ztcondb.OperationalError) as err:
        ztcondb.connect(dsn)
    assert "the DSN's sslmode=%s is weaker than %s" % (dsn_mode, env) \
        in str(err.value)
    # Asked for on its own, the mode is the caller's choice.
    ztcondb.connect(dsn, sslmode=dsn_mode).close()


def test_host_list_with_ports_and_session_attrs(pg, clean_env):
    dead = free_port()
    conn = ztcondb.connect(host=[pg["host"], pg["host"]], port=[dead, pg["port"]],
                           user=pg["user"], dbname=pg["db"],
                           target_session_attrs="read-write", connect_timeout=5)
    assert one(conn, "select inet_server_port()") == pg["port"]
    conn.close()
    conn = ztcondb.connect(host="%s,%s" % (pg["host"], pg["host"]),
                           port="%d,%d" % (dead, pg["port"]), user=pg["user"],
                           dbname=pg["db"], target_session_attrs="any")
    conn.close()
    # The server is a primary: no host of the list fits.
    with pytest.raises(ztcondb.OperationalError) as err:
        ztcondb.connect(host=pg["host"], port=pg["port"], user=pg["user"], dbname=pg["db"],
                        target_session_attrs="standby")
    assert str(err.value).startswith("Connection information is not correct: [08001] ")
    assert "hot standby" in str(err.value)


@pytest.mark.parametrize("make", [
    lambda pg: ztcondb.connect(host=pg["host"], port=pg["port"], user="pwuser",
                               dbname=pg["db"], password="wrong; PWD=" + PASSWORD),
    lambda pg: _pyztdb._connect(pg["port"], pg["host"], pg["db"], "pwuser",
                                "wrong; PWD=" + PASSWORD, "UTF8", "0"),
])
def test_wrong_password_reason(pg, pwuser, clean_env, make):
    with pytest.raises((_pyztdb.OperationalError, ztcondb.OperationalError)) as err:
        make(pg)
    text = str(err.value)
    assert text.startswith("Connection information is not correct: [08001] ")
    assert 'password authentication failed for user "pwuser"' in text
    assert "wrong" not in text and PASSWORD not in text


# ---- TLS ----

def _reload(conn, ssl_on):
    cur = conn.cursor()
    for name, value in (("ssl", "on"), ("ssl_cert_file", "'zt_test_server.crt'"),
                        ("ssl_key_file", "'zt_test_server.key'")):
        cur.execute("alter system set %s = %s" % (name, value) if ssl_on
                    else "alter system reset " + name)
    cur.execute("select pg_reload_conf()")
    for _ in range(100):
        cur.execute("show ssl")
        if cur.fetchone()[0] == ("on" if ssl_on else "off"):
            return
        time.sleep(0.05)
    raise AssertionError("the server did not switch ssl %s" % ("on" if ssl_on else "off"))


@pytest.fixture(scope="module")
def tls_server(pg, tmp_path_factory):
    """The test server with TLS on (a self-signed certificate made here), then off again;
    yields the certificate's path."""
    if not shutil.which("openssl"):
        pytest.fail("openssl is missing (scripts/install-deps installs it)")
    admin = _pyztdb._connect(pg["port"], pg["host"], pg["db"], pg["user"], "", "UTF8", "0")
    data = one(admin, "show data_directory")
    work = tmp_path_factory.mktemp("tls")
    subprocess.run(["openssl", "req", "-new", "-x509", "-days", "2", "-nodes",
                    "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-subj", "/CN=localhost", "-keyout", str(work / "server.key"),
                    "-out", str(work / "server.crt")],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    owner = os.stat(data)
    for name in ("crt", "key"):
        target = os.path.join(data, "zt_test_server." + name)
        shutil.copy(str(work / ("server." + name)), target)
        os.chmod(target, 0o600)
        if os.getuid() == 0:
            os.chown(target, owner.st_uid, owner.st_gid)
    _reload(admin, True)
    try:
        yield str(work / "server.crt")
    finally:
        _reload(admin, False)
        admin.close()


def ssl_in_use(conn):
    return one(conn, "select case when ssl then 'tls ' || version else 'plain' end "
                     "from pg_stat_ssl where pid = pg_backend_pid()")


def test_required_tls_fails_on_a_server_without_it(pg, clean_env):
    with pytest.raises(ztcondb.OperationalError) as err:
        ztcondb.connect(host=pg["host"], port=pg["port"], user=pg["user"], dbname=pg["db"],
                        sslmode="require")
    assert str(err.value).startswith("Connection information is not correct: [08001] ")
    assert "SSL" in str(err.value)


@pytest.mark.parametrize("usessl, tls", [
    ("1", True), ("require", True), ("YES", True), ("verify-ca", True),
    ("disable", False),
    # Nothing asked: libpq's default (PGSSLMODE, else prefer) decides.
    ("0", True), (None, True),
])
def test_usessl_reaches_the_server(pg, tls_server, clean_env, usessl, tls):
    # verify-ca needs the root certificate: the environment gives it, as libpq reads it.
    clean_env.setenv("PGSSLROOTCERT", tls_server)
    conn = _pyztdb._connect(pg["port"], pg["host"], pg["db"], pg["user"], "", "UTF8", usessl)
    used = ssl_in_use(conn)
    assert used.startswith("tls TLSv1.") if tls else used == "plain"
    conn.close()


def test_sslmode_keyword_and_dsn(pg, tls_server, clean_env):
    conn = ztcondb.connect("host=%s sslrootcert=%s" % (pg["host"], tls_server),
                           port=pg["port"], user=pg["user"], dbname=pg["db"],
                           sslmode="verify-ca")
    assert ssl_in_use(conn).startswith("tls ")
    conn.close()
