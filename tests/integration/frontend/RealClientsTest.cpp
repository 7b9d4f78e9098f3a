#include "ServerHarness.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

using namespace quillhaven;
using testsupport::InProcessSQLiteBackend;
using testsupport::ServerHarness;
using Status = ProxyServerStatus;

namespace {

// A server with a small table, shared by the real clients of one test.
class RealClients : public ::testing::Test {
protected:
    RealClients() {
        backend->execute("CREATE TABLE items(id INTEGER, name TEXT);"
                         "INSERT INTO items VALUES (1, 'apple'), (2, NULL)");
    }

    std::string conninfo() const {
        return "host=127.0.0.1 port=" + std::to_string(server.port) +
               " user=tester dbname=main connect_timeout=5";
    }

    testsupport::CommandResult psql(const std::string& arguments) const {
        return testsupport::run("timeout 20 env PGCONNECT_TIMEOUT=5 psql -X -q -A -t -h 127.0.0.1 "
                                "-p " +
                                std::to_string(server.port) + " -U tester -d main " + arguments);
    }

    std::shared_ptr<InProcessSQLiteBackend> backend = std::make_shared<InProcessSQLiteBackend>();
    ServerHarness server{backend};
};

struct PGConnection {
    explicit PGConnection(const std::string& conninfo) : conn(PQconnectdb(conninfo.c_str())) {}
    ~PGConnection() { PQfinish(conn); }
    bool ok() const { return PQstatus(conn) == CONNECTION_OK; }

    // First column of every row, "NULL" for SQL NULL; or "error: ..." for a failure.
    std::vector<std::string> column(PGresult* result) const {
        std::vector<std::string> values;
        auto status = PQresultStatus(result);
        if (status == PGRES_TUPLES_OK) {
            for (int r = 0; r < PQntuples(result); ++r)
                values.push_back(PQgetisnull(result, r, 0) ? "NULL" : PQgetvalue(result, r, 0));
        } else if (status == PGRES_COMMAND_OK) {
            values.push_back(std::string("command: ") + PQcmdStatus(result));
        } else {
            values.push_back(std::string("error: ") + PQresultErrorMessage(result));
        }
        PQclear(result);
        return values;
    }

    std::vector<std::string> exec(const std::string& sql) const {
        return column(PQexec(conn, sql.c_str()));
    }
    std::vector<std::string> execParams(const std::string& sql,
                                        const std::vector<const char*>& params) const {
        return column(PQexecParams(conn, sql.c_str(), static_cast<int>(params.size()), nullptr,
                                   params.data(), nullptr, nullptr, 0));
    }

    PGconn* conn;
};

using Values = std::vector<std::string>;

} // namespace

TEST_F(RealClients, PsqlRunsStatementsAndShowsErrors) {
    auto result = psql("-c \"INSERT INTO items VALUES (3, 'pear')\" "
                       "-c \"SELECT id, name FROM items ORDER BY id\"");
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(result.output, "1|apple\n2|\n3|pear\n");

    result = psql("-c \"SELECT nope FROM items\"");
    EXPECT_NE(result.exitCode, 0);
    EXPECT_NE(result.output.find("ERROR:  no such column: nope"), std::string::npos)
        << result.output;

    // Only a statement, no table: the session still answers.
    result = psql("-c \"SELECT 'a::b' AS x, 2.5 AS y, NULL AS z\"");
    EXPECT_EQ(result.output, "a::b|2.5|\n");
}

TEST_F(RealClients, LibpqExtendedProtocol) {
    PGConnection pg(conninfo());
    ASSERT_TRUE(pg.ok()) << PQerrorMessage(pg.conn);

    EXPECT_EQ(pg.execParams("INSERT INTO items VALUES ($1, $2)", {"3", "it's"}),
              Values{"command: INSERT 0 1"});
    EXPECT_EQ(pg.execParams("SELECT name FROM items WHERE id = $1", {"3"}), Values{"it's"});
    EXPECT_EQ(pg.execParams("SELECT name FROM items WHERE id = $1", {"2"}), Values{"NULL"});
    EXPECT_EQ(pg.execParams("SELECT '$1' || $1 AS v", {"x"}), Values{"$1x"});
    EXPECT_EQ(pg.execParams("SELECT $1 AS v", {"NULL"}), Values{"NULL"}); // the text NULL
    EXPECT_EQ(pg.execParams("SELECT $1 IS NULL AS v", {nullptr}), Values{"1"});
    EXPECT_EQ(pg.execParams("SELECT nope FROM items WHERE id = $1", {"1"}),
              Values{"error: ERROR:  no such column: nope\n"});

    PGresult* prepared =
        PQprepare(pg.conn, "by_name", "SELECT id FROM items WHERE name = $1", 1, nullptr);
    EXPECT_EQ(pg.column(prepared), Values{"command: "});
    const char* apple[] = {"apple"};
    EXPECT_EQ(pg.column(PQexecPrepared(pg.conn, "by_name", 1, apple, nullptr, nullptr, 0)),
              Values{"1"});

    // The simple protocol on the same connection.
    EXPECT_EQ(pg.exec("SELECT count(*) FROM items"), Values{"3"});
}

TEST_F(RealClients, Psycopg) {
    // Debian's interpreter, which has psycopg 3; the one first on PATH may not.
    std::string script = "import psycopg\n"
                         "with psycopg.connect(host='127.0.0.1', port=" +
                         std::to_string(server.port) +
                         ", user='tester', dbname='main', connect_timeout=5,"
                         " autocommit=True) as conn:\n"
                         "    cur = conn.cursor()\n"
                         "    cur.execute('INSERT INTO items VALUES (%s, %s)', (4, \"o'range\"))\n"
                         "    cur.execute('SELECT id, name FROM items WHERE name = %s', "
                         "(\"o'range\",))\n"
                         "    print(cur.fetchall())\n"
                         "    cur.execute('SELECT name FROM items ORDER BY id')\n"
                         "    print(cur.fetchall())\n";
    testsupport::TempDir dir;
    {
        std::FILE* f = std::fopen((dir / "client.py").c_str(), "w");
        std::fputs(script.c_str(), f);
        std::fclose(f);
    }
    auto result = testsupport::run("timeout 20 /usr/bin/python3 " + dir / "client.py");
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(result.output, "[('4', \"o'range\")]\n[('apple',), (None,), (\"o'range\",)]\n");
}

TEST_F(RealClients, BadInputEndsOnlyThatClient) {
    std::string cancel;
    wire::put32(cancel, 16);
    wire::put32(cancel, 80877102);
    wire::put32(cancel, 1234);
    wire::put32(cancel, 5678);
    std::string huge;
    wire::put32(huge, 0x7FFFFFFF);
    struct Case {
        const char* what;
        bool startupFirst;
        std::string sent;
        std::string answer; // bytes expected back before the server closes ("" = none)
        bool closes;
    } cases[] = {
        {"http request", false, "GET / HTTP/1.1\r\nHost: x\r\n\r\n", "", true},
        {"huge startup length", false, huge + "xx", "", true},
        {"truncated startup", false, std::string("\0\0\0\x64\0\x03", 6), "", false},
        {"ssl request", false, wire::requestPacket(80877103), "N", false},
        {"cancel request", false, cancel, "", true},
        {"huge message length", true, "Q" + huge, "", true},
        {"truncated message", true, wire::frame('Q', "SELECT 1;").substr(0, 8), "", false},
        {"unknown message", true, std::string("\x01\0\0\0\x04", 5), std::string("Z\0\0\0\x05I", 6),
         false},
        {"length below 4", true, std::string("\x01\0\0\0\x02", 5), "", true},
    };

    PGConnection bystander(conninfo());
    ASSERT_TRUE(bystander.ok()) << PQerrorMessage(bystander.conn);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto client = server.connect();
        if (c.startupFirst) {
            ASSERT_TRUE(client->startup());
        }
        client->send(c.sent);
        if (!c.answer.empty()) {
            EXPECT_EQ(client->read(c.answer.size()), c.answer);
        }
        if (c.closes) {
            EXPECT_TRUE(client->closedByPeer());
        }
        client->close(); // the incomplete ones end when the client goes

        EXPECT_EQ(bystander.exec("SELECT 'still here'"), Values{"still here"});
        PGConnection newcomer(conninfo());
        EXPECT_TRUE(newcomer.ok()) << PQerrorMessage(newcomer.conn);
    }
    EXPECT_TRUE(server.server->isRunning());
}
