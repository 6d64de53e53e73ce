// Hit recording, period counts, and the texts of the date and time images.
#pragma once

#include <optional>
#include <string>

#include "vc.h"

namespace vorn {

// The text an image shows: one picture cell per character of `outstr`,
// `stylelen` cells in all (for the counter: the requested width).
struct CNT {
    std::string outstr;
    int stylelen = 0;
};

// Mode "counter". With ago "total": records one hit ("totcnt", the record
// of the current hour, and "startdate" at the first hit) under one writing
// open, as one change (dbutil_update), and shows the new total. Otherwise shows the sum of the day `ago`
// days back and writes nothing.
// A hit that the counting rules of `cgiconfig` leave out (rules.h: HEAD,
// IGNORE_ADDR, IGNORE_BOTS, REPEAT_MINUTES) writes nothing to the counter
// and shows the stored total ("0" before the first hit).
void compute_count(const VDB& vdb, CNT& cnt, const CGICONFIG& cgiconfig);

// Modes "date" and "time": the present moment in the style named by the
// first letter of vdb.style. An unknown style answers
// "Unknown style ('%s')" (does not return).
void compute_date(const VDB& vdb, CNT& cnt);
void compute_time(const VDB& vdb, CNT& cnt);

// Period counts of the counter vdb.counter (or the gdbm file vdb.dbfile),
// read through its store: in the gdbm files one shared lock per day summed,
// opened and closed again. Sums are computed in 64 bits.
std::optional<std::string> compute_gettotalcount(const VDB& vdb);     // nullopt: no hit yet
std::string compute_getyearcount(const VDB& vdb, const std::string& year);    // "2001"
std::string compute_getmonthcount(const VDB& vdb, const std::string& month);  // "2001/03"
std::string compute_getdaycount(const VDB& vdb, const std::string& day);      // "2001/03/11"
std::string compute_gethourscount(const VDB& vdb, const std::string& hour);   // "2001/03/11/09"; "0" if none

// Module-private sums behind the getters.
std::string _compute_getyearcount(const VDB& vdb, const std::string& year);
std::string _compute_getmonthcount(const VDB& vdb, const std::string& month);
std::string _compute_getdaycount(const VDB& vdb, const std::string& day);
std::string _compute_gethourscount(const VDB& vdb, const std::string& hour);

}  // namespace vorn
