// SPDX-License-Identifier: GPL-3.0-or-later
#include "vornctl/csv.h"

#include <optional>

#include "base/support.h"
#include "vornctl/counters.h"

namespace vorn {

namespace {

constexpr char kByteOrderMark[] = "\xef\xbb\xbf";

// A field as a message shows it: bytes that are not printable ASCII become
// '?', so a binary file cannot fill the terminal with control codes.
std::string _csv_shown(const std::string& field) {
    std::string shown = field.substr(0, 40);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    }
    return field.size() > 40 ? shown + "..." : shown;
}

// What is wrong with one data line, or nothing; fills `hour` and `count`.
std::optional<std::string> _csv_parse(const std::string& line, std::string& hour, long long& count) {
    const std::size_t comma = line.find(',');
    if (comma == std::string::npos || line.find(',', comma + 1) != std::string::npos) {
        return "expected HOUR,COUNT, not '" + _csv_shown(line) + "'";
    }
    hour = line.substr(0, comma);
    const std::string value = line.substr(comma + 1);
    if (!store_ishour(hour)) return "bad hour '" + _csv_shown(hour) + "' (YYYY/MM/DD/HH of a real day)";
    std::optional<long long> parsed = counters_value(value);
    if (!parsed) return "bad count '" + _csv_shown(value) + "' (decimal digits, at most 18)";
    count = *parsed;
    return std::nullopt;
}

}  // namespace

std::string csv_write(const std::map<std::string, long long>& hours) {
    std::string out = std::string(kCsvHeading) + "\n";
    for (const auto& [hour, count] : hours) out += hour + "," + std::to_string(count) + "\n";
    return out;
}

CsvHours csv_read(std::FILE* in, const std::string& source) {
    CsvHours result;
    std::size_t number = 0, bytes = 0, bad = 0, first_bad = 0;
    std::string first_problem;
    const auto refuse = [&](std::size_t at, const std::string& problem) {
        if (bad++ == 0) {
            first_bad = at;
            first_problem = problem;
        }
    };
    std::string line;
    bool ended = false;
    while (!ended) {
        line.clear();
        int c;
        bool too_long = false;
        while ((c = std::getc(in)) != EOF && c != '\n') {
            if (++bytes > kMaxCsvBytes) support_errormsg("%s: more than %zu bytes; nothing was imported", source.c_str(), kMaxCsvBytes);
            if (line.size() < kMaxCsvLine) {
                line.push_back(static_cast<char>(c));
            } else {
                too_long = true;
            }
        }
        if (std::ferror(in)) support_errormsg("%s: read error; nothing was imported", source.c_str());
        ended = c == EOF;
        if (ended && line.empty()) break;
        ++bytes;
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // A spreadsheet saving as "CSV UTF-8" starts the file with a byte
        // order mark, which is no part of the heading.
        if (number == 1 && line.rfind(kByteOrderMark, 0) == 0) line.erase(0, sizeof kByteOrderMark - 1);
        if (too_long) {
            refuse(number, "line longer than " + std::to_string(kMaxCsvLine) + " characters");
        } else if (number == 1) {
            if (line != kCsvHeading) refuse(number, "expected the heading '" + std::string(kCsvHeading) + "'");
        } else if (!line.empty()) {
            if (++result.lines > kMaxCsvLines) {
                support_errormsg("%s: more than %zu lines of hours; nothing was imported", source.c_str(), kMaxCsvLines);
            }
            std::string hour;
            long long count = 0;
            if (std::optional<std::string> problem = _csv_parse(line, hour, count)) {
                refuse(number, *problem);
                continue;
            }
            std::optional<long long> sum = counters_add(result.visits, count);
            std::optional<long long> hour_sum = counters_add(result.hours[hour], count);
            if (!sum || !hour_sum) {
                refuse(number, "the counts add up past 18 digits");
                continue;
            }
            result.visits = *sum;
            result.hours[hour] = *hour_sum;
        }
    }
    if (number == 0) refuse(1, "empty input; expected the heading '" + std::string(kCsvHeading) + "'");
    if (bad > 0) {
        const std::string more = bad > 1 ? " (and " + std::to_string(bad - 1) + " more bad lines)" : "";
        support_errormsg("%s:%zu: %s%s; nothing was imported", source.c_str(), first_bad, first_problem.c_str(), more.c_str());
    }
    return result;
}

}  // namespace vorn
