// vornsim --html FILE: the run as one self-contained HTML page (inline data,
// style and script; no network, no other file).
//
// What the page shows, over simulated time:
//  - state bands: each band of the machine's state (state_bands.h), a
//    coloured stretch per value;
//  - marks by meaning in a lane per channel (scm, event, wire, ctl, sim,
//    then any other, and the soak's checks): pushes that enabled, pushes that
//    disabled, failed attempts and give-ups, controls, faults, other machine
//    events, other lines; the sim lane leaves out the script's waits. Where
//    marks crowd, a lane draws a density bar that opens into them as one
//    zooms in; red is kept for a check that failed;
//  - a legend that counts what it names (a push once, though it shows in
//    three lanes);
//  - an overview strip of the whole run, a view that opens on the whole run
//    (or on a failing check) and zooms by wheel or drag, with a time axis
//    that relabels; pointing at or clicking a mark shows its line;
//  - a soak's summary at the top.
// The page draws with its own small script (page/timeline.js) from the data
// block <script id="vornsim-data" type="application/json">.
#pragma once

#include "run_record.h"

#include <string>

namespace vornsim {

// The page of a run, titled `title` (UTF-8).
std::string HtmlPage(const RunData& run, const std::string& title);

}  // namespace vornsim
