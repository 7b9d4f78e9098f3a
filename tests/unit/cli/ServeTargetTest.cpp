#include "ServeTarget.h"

#include <gtest/gtest.h>

using quillhaven::cli::parseServeTarget;
using Kind = quillhaven::cli::ServeTarget::Kind;

TEST(ServeTarget, ParsesEveryKindOfTarget) {
    struct Case {
        std::string text;
        Kind kind;
        std::string app, user, host, path;
        unsigned port;
    } cases[] = {
        {"shop.db", Kind::local, "", "", "", "shop.db", 22},
        {"/srv/data/shop.db", Kind::local, "", "", "", "/srv/data/shop.db", 22},
        {"fly://my-app/data/app.db", Kind::fly, "my-app", "", "", "/data/app.db", 22},
        {"ssh://db.example.com/var/lib/app.db", Kind::ssh, "", "", "db.example.com",
         "/var/lib/app.db", 22},
        {"ssh://deploy@10.0.0.5:2222/srv/it's.db", Kind::ssh, "", "deploy", "10.0.0.5",
         "/srv/it's.db", 2222},
        {"ssh://[::1]:2200/x.db", Kind::ssh, "", "", "::1", "/x.db", 2200},
    };
    for (const auto& c : cases) {
        auto t = parseServeTarget(c.text);
        EXPECT_EQ(t.kind, c.kind) << c.text;
        EXPECT_EQ(t.app, c.app) << c.text;
        EXPECT_EQ(t.user, c.user) << c.text;
        EXPECT_EQ(t.host, c.host) << c.text;
        EXPECT_EQ(t.path, c.path) << c.text;
        EXPECT_EQ(t.port, c.port) << c.text;
        EXPECT_EQ(t.describe(), c.text);
    }
}

TEST(ServeTarget, RefusesMalformedTargetsWithAReason) {
    struct Case {
        std::string text, reasonPart;
    } cases[] = {
        {"", "empty"},
        {"fly://my-app", "absolute database path"},
        {"fly:///data/app.db", "application name"},
        {"fly://my app/data/app.db", "invalid Fly.io application name"},
        {"ssh://host", "absolute database path"},
        {"ssh://host:0/x.db", "invalid ssh port"},
        {"ssh://host:99999/x.db", "invalid ssh port"},
        {"ssh://host:22x/x.db", "invalid ssh port"},
        {"ssh://@host/x.db", "empty user"},
        {"ssh://[::1/x.db", "unclosed"},
        {"ssh://host:/x.db", "invalid ssh port"},
        {"postgres://host/x.db", "unknown target scheme"},
    };
    for (const auto& c : cases) {
        try {
            parseServeTarget(c.text);
            ADD_FAILURE() << "accepted " << c.text;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.reasonPart), std::string::npos)
                << c.text << ": " << e.what();
        }
    }
}
