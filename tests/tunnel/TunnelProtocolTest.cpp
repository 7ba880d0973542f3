#include "tunnel/TunnelProtocol.h"

#include "tunnel/TunnelConfiguration.h"

#include <gtest/gtest.h>

using namespace nimo;
using namespace nimo::tunnelproto;

TEST(LineBuffer, SplitsChunksAndDiscardsOverlongLinesOnly) {
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        std::vector<std::string> expected; // "!" marks an overflowed line
    };
    const std::string big(20, 'x');
    const std::vector<Case> cases = {
        {"one line", {"{}\n"}, {"{}"}},
        {"split across chunks", {"ab", "c\nde", "f\n"}, {"abc", "def"}},
        {"empty lines skipped", {"\n\na\n"}, {"a"}},
        {"no newline yet", {"abc"}, {}},
        {"overlong then fine", {big + "\nok\n"}, {"!", "ok"}},
        {"overlong over chunks", {big.substr(0, 10), big.substr(10), "tail\nnext\n"}, {"!", "next"}},
        {"exactly the limit", {std::string(16, 'y') + "\n"}, {std::string(16, 'y')}},
    };
    for (const auto& c : cases) {
        LineBuffer buffer(16);
        std::vector<std::string> got;
        for (const auto& chunk : c.chunks)
            for (auto& line : buffer.feed(chunk.data(), chunk.size()))
                got.push_back(line.overflowed ? "!" : line.text);
        EXPECT_EQ(got, c.expected) << c.name;
        EXPECT_LE(buffer.buffered(), 16u) << c.name;
    }
}

TEST(TunnelConfiguration, RoundTripKeepsUnknownFieldsAndDropsWrongTypes) {
    const auto wire = nlohmann::json::parse(R"({
        "identifier": "id-1", "localizedDescription": 5, "enabled": "yes", "onDemandEnabled": false,
        "extra": [1, 2],
        "protocol": {"type": "tunnel-provider", "serverAddress": "127.0.0.1", "disconnectOnSleep": 0,
                     "providerBundleIdentifier": "com.nimomac.qn.sysne", "providerConfiguration": [],
                     "vendor": {"k": "v"}}})");
    auto c = configurationFromJson(wire);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->identifier, "id-1");
    EXPECT_FALSE(c->localizedDescription); // a number is not a description
    EXPECT_FALSE(c->enabled);              // "yes" is not a boolean
    EXPECT_EQ(c->onDemandEnabled, false);
    ASSERT_TRUE(c->protocol);
    EXPECT_TRUE(c->protocol->isTunnelProvider());
    EXPECT_FALSE(c->protocol->disconnectOnSleep);
    EXPECT_FALSE(c->protocol->providerConfiguration);
    const auto back = toJson(*c);
    EXPECT_EQ(back["extra"], nlohmann::json::parse("[1,2]"));
    EXPECT_EQ(back["protocol"]["vendor"]["k"], "v");
    EXPECT_FALSE(back.contains("enabled"));

    EXPECT_FALSE(configurationFromJson(nlohmann::json::array()));
    auto noProtocol = configurationFromJson(nlohmann::json::parse(R"({"protocol": null})"));
    ASSERT_TRUE(noProtocol);
    EXPECT_FALSE(noProtocol->protocol);
    auto untyped = configurationFromJson(nlohmann::json::parse(R"({"protocol": {}})"));
    ASSERT_TRUE(untyped && untyped->protocol);
    EXPECT_FALSE(untyped->protocol->isTunnelProvider());
}

TEST(TunnelProtocol, ErrorsAndDataSurviveBadInput) {
    EXPECT_EQ(errorFromJson(nlohmann::json("x")).code, 0);
    const auto e = errorFromJson(nlohmann::json::parse(R"({"description":"d","domain":"x","code":"7"})"));
    EXPECT_EQ(e.description, "d");
    EXPECT_EQ(e.code, 0); // a code that is not an integer is absent
    EXPECT_FALSE(fromBase64(nlohmann::json(3)));
    EXPECT_FALSE(fromBase64(nlohmann::json("%%%")));
    EXPECT_EQ(*fromBase64(nlohmann::json(toBase64(QByteArray("\xff\x00z", 3)))), QByteArray("\xff\x00z", 3));
    // Invalid UTF-8 in a value never breaks the line.
    const QByteArray line = encodeLine({{"t", std::string("\xff\xfe")}});
    EXPECT_TRUE(line.endsWith('\n'));
    EXPECT_TRUE(nlohmann::json::parse(line.toStdString(), nullptr, false).is_object());
}
