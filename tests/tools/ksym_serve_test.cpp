// ksym serve over HTTP: every route with its answers, errors and limits, against the
// embedded simulator and a plcsim station; many watchers on one reader; a station that goes
// away; and the listen rule of both serving programs.
#include <gtest/gtest.h>

#include <httplib.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ksym_tool_run.h"
#include "plcsim_process.h"

namespace {

using ksymtest::KsymCli;
using ksymtest::Station;
using ksymtest::ToolRun;
using nlohmann::json;

const std::regex kTime("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z");

class KsymServe : public KsymCli {
protected:
    // Runs ksym serve on a free loopback port with the common `arguments` and the verb's
    // `serveArguments`, calls `body` with a client for it once it serves, then stops it with
    // SIGTERM; it must end cleanly.
    ToolRun Serve(const std::vector<std::string>& arguments,
                  const std::function<void(httplib::Client&)>& body,
                  const std::vector<std::string>& serveArguments = {}) {
        std::vector<std::string> all = arguments;
        all.insert(all.end(), {"serve", "--listen", "127.0.0.1:0"});
        all.insert(all.end(), serveArguments.begin(), serveArguments.end());
        bool served = false;
        const ToolRun run = Ksym(all, [&](pid_t pid, const std::string& out) {
            std::smatch match;
            if (served ||
                !std::regex_search(out, match,
                                   std::regex("ksym serving http://127.0.0.1:([0-9]+)/\n"))) {
                return;
            }
            served = true;
            port_ = std::stoi(match[1]);
            httplib::Client client("127.0.0.1", port_);
            client.set_read_timeout(20, 0);
            body(client);
            kill(pid, SIGTERM);
        });
        EXPECT_TRUE(served) << run.err;
        EXPECT_EQ(run.exitCode, 0) << run.err;
        return run;
    }

    json Tool(const std::vector<std::string>& arguments) { return Json(Ksym(arguments)); }

    int port_ = 0; // the port of the server Serve runs
};

json Body(const httplib::Result& result) {
    if (!result) {
        ADD_FAILURE() << "no answer: " << httplib::to_string(result.error());
        return json();
    }
    return json::parse(result->body, nullptr, false);
}

void ExpectError(const httplib::Result& result, int status, int code, const std::string& text) {
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, status) << result->body;
    const json body = Body(result);
    EXPECT_EQ(body.value("code", -1), code) << result->body;
    EXPECT_NE(body.value("error", std::string()).find(text), std::string::npos) << result->body;
}

httplib::Result PostJson(httplib::Client& client, const std::string& body) {
    return client.Post("/api/write", body, "application/json");
}

// The first `count` events of a watch, as parsed JSON; the stream is closed after them.
std::vector<json> WatchEvents(httplib::Client& client, const std::string& query, size_t count,
                              std::string* type = nullptr) {
    std::vector<json> events;
    std::string pending;
    const httplib::Result result =
        client.Get(("/api/watch?" + query).c_str(),
                   [&](const httplib::Response& response) {
                       if (type != nullptr) {
                           *type = response.get_header_value("Content-Type");
                       }
                       return true;
                   },
                   [&](const char* data, size_t length) {
                       pending.append(data, length);
                       for (size_t end; (end = pending.find("\n\n")) != std::string::npos;) {
                           const std::string event = pending.substr(0, end);
                           pending.erase(0, end + 2);
                           if (event.rfind("data: ", 0) == 0) {
                               events.push_back(json::parse(event.substr(6)));
                           }
                       }
                       return events.size() < count;
                   });
    // Closed by the receiver after `count` events, or by the server.
    EXPECT_TRUE(result || result.error() == httplib::Error::Canceled)
        << httplib::to_string(result.error());
    return events;
}

TEST_F(KsymServe, EveryRouteAnswersAsTheOtherVerbsPrint) {
    const std::vector<std::string> station = {"--station", "sim:values=pattern"};
    std::vector<std::string> symbolsArguments = station;
    symbolsArguments.insert(symbolsArguments.end(), {"--json", "symbols", "Line1.Station2"});
    const json symbols = Tool(symbolsArguments);
    std::vector<std::string> readArguments = station;
    readArguments.insert(readArguments.end(), {"--json", "read", "Line1.Mode", "%MW4"});
    const json values = Tool(readArguments);
    ASSERT_GT(symbols.size(), 2u);

    Serve(station, [&](httplib::Client& client) {
        // The page and its files, embedded.
        const httplib::Result page = client.Get("/");
        ASSERT_TRUE(page);
        EXPECT_EQ(page->status, 200);
        EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
        EXPECT_NE(page->body.find("<script src=\"/app.js\">"), std::string::npos);
        for (const char* file : {"/app.js", "/style.css"}) {
            const httplib::Result asset = client.Get(file);
            ASSERT_TRUE(asset);
            EXPECT_EQ(asset->status, 200) << file;
            EXPECT_GT(asset->body.size(), 500u) << file;
        }

        // Symbols: the same entries as ksym symbols with their values' kinds, any case,
        // bounded by the limit, a page at a time.
        const auto withoutKinds = [](json list) {
            for (json& entry : list) {
                entry.erase("kind");
            }
            return list;
        };
        const httplib::Result listed = client.Get("/api/symbols?prefix=line1.STATION2");
        EXPECT_EQ(withoutKinds(Body(listed)), symbols);
        EXPECT_EQ(listed->get_header_value("X-Total-Count"), std::to_string(symbols.size()));
        for (const json& entry : Body(listed)) {
            const std::string type = entry.at("type");
            EXPECT_EQ(entry.at("kind"), type == "BOOL"  ? "bool"
                                        : type == "INT" ? "signed"
                                                        : "bytes")
                << entry;
        }
        const httplib::Result limited = client.Get("/api/symbols?prefix=Line1.Station2&limit=2");
        EXPECT_EQ(withoutKinds(Body(limited)), json({symbols[0], symbols[1]}));
        EXPECT_EQ(limited->get_header_value("X-Total-Count"), std::to_string(symbols.size()));
        const httplib::Result paged =
            client.Get("/api/symbols?prefix=Line1.Station2&limit=2&from=1");
        EXPECT_EQ(withoutKinds(Body(paged)), json({symbols[1], symbols[2]}));
        EXPECT_EQ(Body(client.Get(
                      ("/api/symbols?prefix=Line1.Station2&from=" + std::to_string(symbols.size()))
                          .c_str())),
                  json::array());
        EXPECT_EQ(Body(client.Get("/api/symbols?prefix=NoSuchThing")), json::array());
        for (const char* bad :
             {"limit=0", "limit=5001", "limit=x", "limit=99999999999", "limit="}) {
            ExpectError(client.Get((std::string("/api/symbols?") + bad).c_str()), 400, 3,
                        "limit takes a number");
        }
        ExpectError(client.Get("/api/symbols?from=-1"), 400, 3, "from takes a number");

        // Read: the array ksym --json read prints.
        EXPECT_EQ(Body(client.Get("/api/read?name=Line1.Mode&name=%25MW4")), values);
        ExpectError(client.Get("/api/read?name=Line1.Mode&name=No.Such"), 400, 3,
                    "unknown variable: No.Such");
        ExpectError(client.Get("/api/read"), 400, 3, "name is given 1 to 64 times");
        std::string many = "/api/read?";
        for (int i = 0; i < 65; ++i) {
            many += "name=%25MW" + std::to_string(2 * i) + "&";
        }
        ExpectError(client.Get(many.c_str()), 400, 3, "name is given 1 to 64 times");
        ExpectError(client.Get(("/api/read?name=" + std::string(257, 'A')).c_str()), 400, 3,
                    "a name has 1 to 256 characters");

        // Write: checked as ksym write checks, nothing sent when anything is wrong.
        const httplib::Result wrote = PostJson(client, R"({"Line1.Mode": 7})");
        ASSERT_TRUE(wrote);
        EXPECT_EQ(wrote->status, 200);
        EXPECT_EQ(Body(wrote), json({{"ok", true}}));
        ExpectError(PostJson(client, R"({"Line1.Mode": 9, "Line1.Station2.Motor1.Speed": 40000})"),
                    400, 3, "value does not fit Line1.Station2.Motor1.Speed (INT, 2 bytes): 40000");
        ExpectError(PostJson(client, R"({"Line1.Mode": 9, "No.Such": 1})"), 400, 3,
                    "unknown variable: No.Such");
        EXPECT_EQ(Body(client.Get("/api/read?name=Line1.Mode")).at(0).at("value"), 7);
        const httplib::Result texts =
            PostJson(client, R"({"Line1.Recipe.Name": "Rye 1kg", "Line2.Station1.Setpoints":
                                 [1, -2, 3, 4], "Line2.Running": true})");
        EXPECT_EQ(texts ? texts->status : -1, 200) << (texts ? texts->body : "");
        const json back = Body(client.Get(
            "/api/read?name=Line1.Recipe.Name&name=Line2.Station1.Setpoints&name=Line2.Running"));
        EXPECT_EQ(back.at(0).at("value"), "Rye 1kg");
        EXPECT_EQ(back.at(1).at("value"), json({1, -2, 3, 4}));
        EXPECT_EQ(back.at(2).at("value"), true);
        for (const char* bad : {"{", "[1]", "{}", R"({"Line1.Mode": null})",
                                R"({"Line1.Mode": {"a": 1}})", R"({"Line1.Mode": ["x"]})"}) {
            const httplib::Result refused = PostJson(client, bad);
            ASSERT_TRUE(refused);
            EXPECT_EQ(refused->status, 400) << bad;
            EXPECT_EQ(Body(refused).value("code", -1), 3) << bad;
        }
        ExpectError(client.Post("/api/write", R"({"Line1.Mode": 1})", "text/plain"), 415, 3,
                    "application/json");
        ExpectError(PostJson(client, "{\"Line1.Mode\": \"" + std::string(70000, '1') + "\"}"), 413,
                    3, "too large");
        EXPECT_EQ(Body(client.Get("/api/read?name=Line1.Mode")).at(0).at("value"), 7);

        // Station, unknown routes, and a host name that is not loopback.
        const json info = Body(client.Get("/api/station"));
        EXPECT_EQ(info.at("state"), "connected");
        EXPECT_EQ(info.at("readOnly"), false);
        EXPECT_EQ(info.at("station"), "sim:values=pattern");
        EXPECT_FALSE(info.at("identification").at("project").get<std::string>().empty());
        EXPECT_GT(info.at("symbols").get<int>(), 10);
        ExpectError(client.Get("/api/nothing"), 404, 3, "no such route");
        ExpectError(client.Get("/api/symbols", {{"Host", "intruder.example:8080"}}), 403, 3,
                    "loopback");

        // Watch: one event per read, each the time and the values as read gives them.
        std::string type;
        const std::vector<json> events =
            WatchEvents(client, "name=Line1.Mode&name=%25MW4&interval=20", 3, &type);
        EXPECT_EQ(type, "text/event-stream");
        ASSERT_EQ(events.size(), 3u);
        json expected = values;
        expected[0]["value"] = 7;
        for (const json& event : events) {
            EXPECT_TRUE(std::regex_match(event.at("time").get<std::string>(), kTime));
            EXPECT_EQ(event.at("values"), expected);
        }
        for (const char* bad :
             {"name=Line1.Mode&interval=9", "name=Line1.Mode&interval=x",
              "name=Line1.Mode&interval=3600001", "interval=100", "name=No.Such"}) {
            ExpectError(client.Get((std::string("/api/watch?") + bad).c_str()), 400, 3, "");
        }
    });
}

TEST_F(KsymServe, ThePlotLibraryMayBeMissingAndWritesMayBeRefused) {
    setenv("KSYM_CHART_JS", "/nonexistent/chart.js", 1);
    Serve({"--station", "sim:values=pattern"}, [&](httplib::Client& client) {
        ExpectError(client.Get("/lib/chart.js"), 404, 0, "not installed");
        EXPECT_EQ(client.Get("/")->status, 200);
    });
    unsetenv("KSYM_CHART_JS");
    Serve({}, [&](httplib::Client& client) {
        const httplib::Result chart = client.Get("/lib/chart.js");
        ASSERT_TRUE(chart);
        EXPECT_EQ(chart->status,
                  std::filesystem::exists("/usr/share/javascript/chart.js/chart.min.js") ? 200
                                                                                         : 404);
    });
    Serve({"--station", "sim:values=pattern"},
          [&](httplib::Client& client) {
              ExpectError(PostJson(client, R"({"Line1.Mode": 7})"), 403, 6, "read-only");
              EXPECT_EQ(Body(client.Get("/api/station")).at("readOnly"), true);
              EXPECT_EQ(Body(client.Get("/api/read?name=Line1.Mode")).at(0).at("value"),
                        plcsim::InitialMemoryByte(3, 0));
          },
          {"--read-only"});
}

TEST_F(KsymServe, ManyWatchersShareOneReader) {
    // A station that answers slowly: reads of the watchers and the reads once overlap, and
    // each must still get its own names, none an error.
    Serve({"--station", "sim:latency=15"}, [&](httplib::Client& client) {
        const std::vector<std::pair<std::string, std::vector<std::string>>> watchers = {
            {"name=Line1.Mode&interval=20", {"Line1.Mode"}},
            {"name=Line1.Station2.Motor1.ActualSpeed&name=Line1.Mode&interval=50",
             {"Line1.Station2.Motor1.ActualSpeed", "Line1.Mode"}},
            {"name=Line2.Station1.Temperature&interval=100", {"Line2.Station1.Temperature"}},
        };
        std::vector<std::vector<json>> got(watchers.size());
        std::vector<std::thread> threads;
        for (size_t i = 0; i < watchers.size(); ++i) {
            threads.emplace_back([&, i] {
                httplib::Client own("127.0.0.1", port_);
                own.set_read_timeout(20, 0);
                got[i] = WatchEvents(own, watchers[i].first, 8);
            });
        }
        std::atomic<int> reads{0};
        for (int i = 0; i < 10; ++i) {
            const json read = Body(client.Get("/api/read?name=Line1.Station3.Conveyor.Position"));
            EXPECT_EQ(read.at(0).at("name"), "Line1.Station3.Conveyor.Position");
            EXPECT_EQ(read.at(0).at("valid"), true);
            ++reads;
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(reads.load(), 10);
        for (size_t i = 0; i < watchers.size(); ++i) {
            ASSERT_EQ(got[i].size(), 8u) << watchers[i].first;
            for (const json& event : got[i]) {
                std::vector<std::string> names;
                for (const json& value : event.at("values")) {
                    names.push_back(value.at("name"));
                    EXPECT_EQ(value.at("valid"), true);
                }
                EXPECT_EQ(names, watchers[i].second);
            }
        }
        // The moving speed moved across the watch's events.
        EXPECT_NE(got[1].front().at("values").at(0).at("value"),
                  got[1].back().at("values").at(0).at("value"));
    });
}

TEST_F(KsymServe, WatchesOfDifferentPacesShareTheFastestOnesReads) {
    // Separate readers would make one read per event; the shared one reads at the pace of
    // the fastest watch and hands the slower ones values of the same reads, whatever their
    // phases.
    Serve({}, [&](httplib::Client& client) {
        const uint64_t before = Body(client.Get("/api/station")).at("reads");
        const std::vector<std::pair<std::string, size_t>> watchers = {
            {"name=Line1.Mode&interval=10", 50},
            {"name=Line1.Station2.Motor1.ActualSpeed&interval=30", 17},
            {"name=Line2.Station1.Temperature&interval=50", 10},
        };
        std::vector<size_t> got(watchers.size());
        std::vector<std::thread> threads;
        for (size_t i = 0; i < watchers.size(); ++i) {
            threads.emplace_back([&, i] {
                httplib::Client own("127.0.0.1", port_);
                own.set_read_timeout(20, 0);
                got[i] = WatchEvents(own, watchers[i].first, watchers[i].second).size();
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        const uint64_t reads =
            Body(client.Get("/api/station")).at("reads").get<uint64_t>() - before;
        size_t events = 0;
        for (size_t i = 0; i < watchers.size(); ++i) {
            EXPECT_EQ(got[i], watchers[i].second) << watchers[i].first;
            events += got[i];
        }
        // 77 events; the fastest watch's 50 reads and a few while the others end.
        EXPECT_GE(reads, 50u);
        EXPECT_LE(reads, 60u) << "of " << events << " events";
    });
}

TEST_F(KsymServe, OpenWatchesAreLimitedAndFreedWhenTheirViewersLeave) {
    Serve({}, [&](httplib::Client& client) {
        constexpr size_t kLimit = 32;
        std::atomic<bool> leave{false};
        std::atomic<size_t> streaming{0};
        std::vector<std::thread> viewers;
        for (size_t i = 0; i < kLimit; ++i) {
            viewers.emplace_back([&] {
                httplib::Client own("127.0.0.1", port_);
                own.set_read_timeout(20, 0);
                bool counted = false;
                own.Get(
                    "/api/watch?name=Line1.Mode&interval=50",
                    [&](const httplib::Response&) { return true; },
                    [&](const char*, size_t) {
                        if (!counted) {
                            counted = true;
                            ++streaming;
                        }
                        return !leave.load();
                    });
            });
        }
        for (int i = 0; i < 400 && streaming.load() < kLimit; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        EXPECT_EQ(streaming.load(), kLimit);
        ExpectError(client.Get("/api/read?name=Line1.Mode"), 503, 2,
                    "too many reads and watches are open");
        leave.store(true);
        for (std::thread& viewer : viewers) {
            viewer.join();
        }
        // The server notices a viewer gone at its next event at the latest.
        int status = 0;
        for (int i = 0; i < 100 && status != 200; ++i) {
            const httplib::Result read = client.Get("/api/read?name=Line1.Mode");
            status = read ? read->status : 0;
            if (status != 200) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        EXPECT_EQ(status, 200);
    });
}

TEST_F(KsymServe, AStationThatGoesAwayIsReportedAndMended) {
    Station station(scratch_, 0, {"--read-only"});
    const uint16_t port = station.port();
    ASSERT_NE(port, 0);
    // plcsim --read-only refuses as a controller refuses: ksym write's refusal code.
    const ToolRun refused = Ksym({"--station", station.address(), "write", "Line1.Mode=3"});
    EXPECT_EQ(refused.exitCode, 6) << refused.err;
    EXPECT_NE(refused.err.find("the controller refused the write"), std::string::npos);

    const ToolRun run =
        Serve({"--station", station.address(), "--timeout", "500"}, [&](httplib::Client& client) {
            ExpectError(PostJson(client, R"({"Line1.Mode": 3})"), 409, 6,
                        "the controller refused the write");
            EXPECT_EQ(Body(client.Get("/api/station")).at("state"), "connected");
            std::vector<json> before;
            std::string state;
            std::thread watcher([&] {
                httplib::Client own("127.0.0.1", port_);
                own.set_read_timeout(30, 0);
                before = WatchEvents(own, "name=Line1.Mode&interval=50", 12);
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            station.Stop();
            for (int i = 0; i < 100 && state != "reconnecting"; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                state = Body(client.Get("/api/station")).at("state");
            }
            EXPECT_EQ(state, "reconnecting");
            ExpectError(PostJson(client, R"({"Line1.Mode": 3})"), 503, 2, "not connected");
            ExpectError(client.Get("/api/read?name=Line1.Mode"), 503, 2, "not connected");
            station.Start(scratch_, port);
            watcher.join();
            // The watch went on after the station came back.
            EXPECT_EQ(before.size(), 12u);
            EXPECT_EQ(Body(client.Get("/api/station")).at("state"), "connected");
        });
    EXPECT_NE(run.err.find("broke; reconnecting"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("reconnected to"), std::string::npos) << run.err;
}

TEST_F(KsymServe, OnlyLoopbackUnlessAllowed) {
    const ToolRun refused = Ksym({"serve", "--listen", "0.0.0.0:0"});
    EXPECT_EQ(refused.exitCode, 3);
    EXPECT_NE(refused.err.find("--listen 0.0.0.0:0 is beyond loopback; give --allow-remote"),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(Ksym({"serve", "--listen", "nonsense"}).exitCode, 3);

    const ToolRun allowed =
        Ksym({"serve", "--listen", "0.0.0.0:0", "--allow-remote", "--read-only"},
             std::function<void(pid_t, const std::string&)>([](pid_t pid, const std::string& out) {
                 if (out.find("ksym serving http://0.0.0.0:") != std::string::npos) {
                     kill(pid, SIGINT);
                 }
             }));
    EXPECT_EQ(allowed.exitCode, 0) << allowed.err;
    EXPECT_NE(allowed.err.find("anyone who can reach this port can read the controller's"),
              std::string::npos)
        << allowed.err;

    // plcsim: the same rule, the same warning.
    const std::string out = (scratch_ / "plcsim.out").string();
    for (const bool allow : {false, true}) {
        std::vector<std::string> args = {KSYM_PLCSIM, "--listen", "0.0.0.0:0"};
        if (allow) {
            args.push_back("--allow-remote");
        }
        const pid_t pid = ksymtest::Spawn(args, out);
        int status = 0;
        for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
            if (ksymtest::ReadText(out).find("plcsim listening on") != std::string::npos) {
                kill(pid, SIGTERM);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (waitpid(pid, &status, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "plcsim did not end";
        }
        const std::string text = ksymtest::ReadText(out);
        if (allow) {
            EXPECT_EQ(WEXITSTATUS(status), 0) << text;
            EXPECT_NE(text.find("anyone who can reach this port can read and write"),
                      std::string::npos)
                << text;
        } else {
            EXPECT_EQ(WEXITSTATUS(status), 2) << text;
            EXPECT_NE(text.find("is beyond loopback"), std::string::npos) << text;
        }
    }
}

} // namespace
