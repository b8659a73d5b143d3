// The three ways a run is told, built as text.
#include "check/check_report.h"

#include <cstdio>
#include <numeric>

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

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + '"';
}

// Text and attribute values alike; control characters XML 1.0 cannot carry become '?'.
std::string Xml(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
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
                break;  // as characters: attribute values keep them
            case '\t':
                out += "&#9;";
                break;
            default:
                out += byte < 0x20 ? '?' : c;
        }
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
    return head + step.message;
}

std::string SummaryLine(const CheckRun& run) {
    const int run_ = static_cast<int>(run.steps.size()) - Count(run, &CheckStep::skipped);
    return std::to_string(Count(run, &CheckStep::passed)) + " of " + std::to_string(run_) +
           " steps passed; exit " + std::to_string(run.exit) + ": " + ExitMeaning(run.exit);
}

std::string ListText(const DeviceList& list) {
    std::string text = "Kits:\n";
    if (list.kits.empty()) {
        text += "  none\n";
    }
    for (const ListedKit& kit : list.kits) {
        text += "  " + kit.path + "  " + Hex4(kit.vendorId) + ":" + Hex4(kit.productId) + "  ";
        text += kit.opens ? "opens, reports of " + std::to_string(kit.inputReportBytes) + "/" +
                                std::to_string(kit.outputReportBytes) + " bytes"
                          : "cannot be opened: " + kit.why;
        text += '\n';
    }
    text += "Serial ports:\n";
    if (list.ports.empty()) {
        text += "  none\n";
    }
    for (const ListedPort& port : list.ports) {
        text += "  " + port.name;
        if (!port.path.empty() && port.path != port.name) {
            text += " (" + port.path + ")";
        }
        text += port.opens ? "  opens\n" : "  cannot be opened: " + port.why + "\n";
    }
    return text;
}

std::string RunJson(const CheckRun& run, const std::string& version) {
    std::string json =
        "{\n  \"program\": \"palvex-check\",\n  \"version\": " + JsonString(version) +
        ",\n  \"passed\": " + (run.exit == CHECK_PASSED ? "true" : "false") +
        ",\n  \"exitCode\": " + std::to_string(run.exit) + ",\n  \"kit\": ";
    json += run.kitPath.empty()
                ? "null"
                : "{\"path\": " + JsonString(run.kitPath) + ", \"firmware\": " +
                      (run.firmwareVersion.empty() ? std::string("null")
                                                   : JsonString(run.firmwareVersion)) +
                      "}";
    json += ",\n  \"serialPort\": ";
    json += run.portName.empty() ? "null"
                                 : "{\"name\": " + JsonString(run.portName) +
                                       ", \"path\": " + JsonString(run.portPath) + "}";
    json += ",\n  \"steps\": [";
    for (size_t i = 0; i < run.steps.size(); ++i) {
        const CheckStep& step = run.steps[i];
        json += std::string(i ? "," : "") + "\n    {\"name\": " + JsonString(step.name) +
                ", \"result\": \"" +
                (step.skipped  ? "skipped"
                 : step.passed ? "passed"
                               : "failed") +
                "\", \"ms\": " + Format("%.1f", step.ms) +
                ", \"message\": " + JsonString(step.message);
        if (!step.figures.empty()) {
            json += ", \"figures\": {";
            bool first = true;
            for (const auto& [name, value] : step.figures) {
                json += (first ? "" : ", ") + JsonString(name) + ": " + Format("%.6g", value);
                first = false;
            }
            json += "}";
        }
        json += "}";
    }
    return json + "\n  ]\n}\n";
}

std::string ListJson(const DeviceList& list) {
    std::string json = "{\n  \"kits\": [";
    for (size_t i = 0; i < list.kits.size(); ++i) {
        const ListedKit& kit = list.kits[i];
        json += std::string(i ? "," : "") + "\n    {\"path\": " + JsonString(kit.path) +
                ", \"vendorId\": \"" + Hex4(kit.vendorId) + "\", \"productId\": \"" +
                Hex4(kit.productId) + "\", \"opens\": " + (kit.opens ? "true" : "false");
        json += kit.opens ? ", \"inputReportBytes\": " + std::to_string(kit.inputReportBytes) +
                                ", \"outputReportBytes\": " + std::to_string(kit.outputReportBytes)
                          : ", \"why\": " + JsonString(kit.why);
        json += "}";
    }
    json += "\n  ],\n  \"serialPorts\": [";
    for (size_t i = 0; i < list.ports.size(); ++i) {
        const ListedPort& port = list.ports[i];
        json += std::string(i ? "," : "") + "\n    {\"name\": " + JsonString(port.name) +
                ", \"path\": " + JsonString(port.path) +
                ", \"opens\": " + (port.opens ? "true" : "false");
        if (!port.opens) {
            json += ", \"why\": " + JsonString(port.why);
        }
        json += "}";
    }
    return json + "\n  ]\n}\n";
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
