// The three ways a run is told, built as text.
#include "check/check_report.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <numeric>

#include "check/shown_text.h"

namespace {

std::string Format(const char* pattern, double value) {
    char text[48];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string Hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

using Json = nlohmann::ordered_json;  // keeps the fields in the order written

// Two spaces a level, ASCII only (\u escapes beyond it); a system text that is not UTF-8
// gets U+FFFD for its stray bytes instead of breaking the document.
std::string Dump(const Json& json) {
    return json.dump(2, ' ', true, Json::error_handler_t::replace) + "\n";
}

// A number as `pattern` prints it, so the document reads as plainly as the lines.
double Rounded(const char* pattern, double value) {
    return std::strtod(Format(pattern, value).c_str(), nullptr);
}

// Text and attribute values alike, well-formed for any bytes: markup characters as entities,
// line ends and tabs as references (attribute values keep them), the control characters XML
// 1.0 cannot carry as '?', and bytes that are not UTF-8 as U+FFFD, as in the JSON.
std::string Xml(const std::string& text) {
    std::string out;
    for (size_t at = 0; at < text.size();) {
        char32_t code = 0;
        const size_t length = Utf8Sequence(text, at, code);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++at;
            continue;
        }
        switch (code) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            case '\t':
                out += "&#9;";
                break;
            default:
                if (code < 0x20 || code == 0xFFFE || code == 0xFFFF) {
                    out += '?';
                } else {
                    out.append(text, at, length);
                }
        }
        at += length;
    }
    return out;
}

const char* ExitMeaning(CheckExit exit) {
    switch (exit) {
        case CHECK_PASSED:
            return "all passed";
        case CHECK_FAILED:
            return "a step failed";
        case CHECK_NO_DEVICE:
            return "no Kit or no serial port";
        case CHECK_INTERRUPTED:
            return "interrupted";
        case CHECK_USAGE:
            break;
    }
    return "bad usage";
}

double TotalMs(const CheckRun& run) {
    return std::accumulate(run.steps.begin(), run.steps.end(), 0.0,
                           [](double sum, const CheckStep& step) { return sum + step.ms; });
}

int Count(const CheckRun& run, bool CheckStep::*flag) {
    int count = 0;
    for (const CheckStep& step : run.steps) {
        count += step.*flag ? 1 : 0;
    }
    return count;
}

}  // namespace

std::string StepLine(const CheckStep& step) {
    const char* verdict = step.skipped ? "SKIP" : step.passed ? "PASS" : "FAIL";
    char head[64];
    std::snprintf(head, sizeof head, "%s  %-12s %6.0f ms  ", verdict, step.name.c_str(), step.ms);
    // Board bytes in a message are escaped already; the system's text may bring control bytes.
    return head + TerminalText(step.message);
}

std::string SummaryLine(const CheckRun& run) {
    const int run_ = static_cast<int>(run.steps.size()) - Count(run, &CheckStep::skipped);
    return std::to_string(Count(run, &CheckStep::passed)) + " of " + std::to_string(run_) +
           " steps passed; exit " + std::to_string(run.exit) + ": " + ExitMeaning(run.exit);
}

std::string ListText(const DeviceList& list) {
    // Device names and reasons are the system's, but a terminal obeys their control bytes too.
    std::string text = "Kits:\n";
    if (list.kits.empty()) {
        text += "  none\n";
    }
    for (const ListedKit& kit : list.kits) {
        text += "  " + TerminalText(kit.path) + "  " + Hex4(kit.vendorId) + ":" +
                Hex4(kit.productId) + "  ";
        text += kit.opens ? "opens, reports of " + std::to_string(kit.inputReportBytes) + "/" +
                                std::to_string(kit.outputReportBytes) + " bytes"
                          : "cannot be opened: " + TerminalText(kit.why);
        text += '\n';
    }
    text += "Serial ports:\n";
    if (list.ports.empty()) {
        text += "  none\n";
    }
    for (const ListedPort& port : list.ports) {
        text += "  " + TerminalText(port.name);
        if (!port.path.empty() && port.path != port.name) {
            text += " (" + TerminalText(port.path) + ")";
        }
        text += port.opens ? "  opens\n" : "  cannot be opened: " + TerminalText(port.why) + "\n";
    }
    return text;
}

std::string RunJson(const CheckRun& run, const std::string& version) {
    Json json;
    json["program"] = "palvex-check";
    json["version"] = version;
    json["passed"] = run.exit == CHECK_PASSED;
    json["exitCode"] = static_cast<int>(run.exit);
    // The firmware as the step line shows it: the board's bytes escaped, so a consumer sees
    // what a person sees and "K1.07" stays "K1.07".
    json["kit"] =
        run.kitPath.empty()
            ? Json()
            : Json{{"path", run.kitPath},
                   {"firmware",
                    run.firmwareVersion.empty() ? Json() : Json(BoardText(run.firmwareVersion))}};
    json["serialPort"] =
        run.portName.empty() ? Json() : Json{{"name", run.portName}, {"path", run.portPath}};
    Json& steps = json["steps"] = Json::array();
    for (const CheckStep& step : run.steps) {
        Json entry{{"name", step.name},
                   {"result", step.skipped  ? "skipped"
                              : step.passed ? "passed"
                                            : "failed"},
                   {"ms", Rounded("%.1f", step.ms)},
                   {"message", step.message}};
        for (const auto& [name, value] : step.figures) {
            // Six digits, as before; a count stays an integer ("bytes": 4096, not 4096.0).
            const double shown = Rounded("%.6g", value);
            Json& figure = entry["figures"][name];
            if (std::trunc(shown) == shown && std::fabs(shown) < 1e15) {
                figure = static_cast<int64_t>(shown);
            } else {
                figure = shown;
            }
        }
        steps.push_back(std::move(entry));
    }
    return Dump(json);
}

std::string ListJson(const DeviceList& list) {
    Json json{{"kits", Json::array()}, {"serialPorts", Json::array()}};
    for (const ListedKit& kit : list.kits) {
        Json entry{{"path", kit.path},
                   {"vendorId", Hex4(kit.vendorId)},
                   {"productId", Hex4(kit.productId)},
                   {"opens", kit.opens}};
        if (kit.opens) {
            entry["inputReportBytes"] = kit.inputReportBytes;
            entry["outputReportBytes"] = kit.outputReportBytes;
        } else {
            entry["why"] = kit.why;
        }
        json["kits"].push_back(std::move(entry));
    }
    for (const ListedPort& port : list.ports) {
        Json entry{{"name", port.name}, {"path", port.path}, {"opens", port.opens}};
        if (!port.opens) {
            entry["why"] = port.why;
        }
        json["serialPorts"].push_back(std::move(entry));
    }
    return Dump(json);
}

std::string RunJUnit(const CheckRun& run, const std::string& hostName) {
    const int failures = static_cast<int>(run.steps.size()) - Count(run, &CheckStep::passed) -
                         Count(run, &CheckStep::skipped);
    const std::string counts = " tests=\"" + std::to_string(run.steps.size()) + "\" failures=\"" +
                               std::to_string(failures) + "\" errors=\"0\" skipped=\"" +
                               std::to_string(Count(run, &CheckStep::skipped)) + "\" time=\"" +
                               Format("%.3f", TotalMs(run) / 1000) + "\"";
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"palvex-check\"" + counts +
        ">\n  <testsuite name=\"palvex-check\"" + counts + " hostname=\"" + Xml(hostName) + "\">\n";
    for (const CheckStep& step : run.steps) {
        xml += "    <testcase classname=\"palvex-check\" name=\"" + Xml(step.name) + "\" time=\"" +
               Format("%.3f", step.ms / 1000) + "\"";
        if (step.passed) {
            xml += "/>\n";
            continue;
        }
        xml += ">\n      ";
        xml += step.skipped ? "<skipped message=\"" + Xml(step.message) + "\"/>"
                            : "<failure message=\"" + Xml(step.message) + "\" type=\"failure\">" +
                                  Xml(step.message) + "</failure>";
        xml += "\n    </testcase>\n";
    }
    return xml + "  </testsuite>\n</testsuites>\n";
}
