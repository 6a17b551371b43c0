#include "html.h"

#include "page_assets.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <sstream>
#include <string_view>

namespace vornsim {

namespace {

using Json = nlohmann::json;

std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// Texts of the page, each written once and named by its index.
class TextTable {
 public:
  size_t Index(const std::string& text) {
    auto [it, added] = m_index.emplace(text, m_texts.size());
    if (added) m_texts.push_back(text);
    return it->second;
  }
  const std::vector<std::string>& Texts() const { return m_texts; }

 private:
  std::map<std::string, size_t> m_index;
  std::vector<std::string> m_texts;
};

// The page's data: the title, the lanes, the kinds' names, texts written
// once, marks as flat [time, lane, kind, text] quadruples in time order (the
// script's waits kept for the page's text, not drawn), bands as
// [[name, [time, value text, ...]], ...], the run's end and the first failing
// check's time (-1: none).
std::string DataBlock(const RunView& view, const std::string& title) {
  TextTable texts;
  Json marks = Json::array();
  int64_t failMs = -1;
  for (const auto& mark : view.marks) {
    marks.insert(marks.end(), {mark.timeMs, mark.lane, static_cast<int>(mark.kind), texts.Index(mark.text)});
    if (mark.kind == MarkKind::kCheckFailed && failMs < 0) failMs = static_cast<int64_t>(mark.timeMs);
  }
  Json bands = Json::array();
  for (const auto& band : view.bands) {
    Json changes = Json::array();
    for (const auto& [timeMs, value] : band.changes) changes.insert(changes.end(), {timeMs, texts.Index(value)});
    bands.push_back(Json::array({band.name, changes}));
  }
  Json kinds = Json::array();
  for (int kind = 0; kind <= static_cast<int>(MarkKind::kCheckUndetermined); ++kind)
    kinds.push_back(KindName(static_cast<MarkKind>(kind)));
  const Json data = {{"title", title}, {"endMs", view.endMs}, {"failMs", failMs}, {"lanes", view.lanes},
                     {"kinds", kinds}, {"texts", texts.Texts()}, {"marks", marks}, {"bands", bands}};
  return data.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Inside <script>, "</script" or "<!--" in a text would end or change the
// block; '<' occurs only within JSON strings, where it can be written escaped.
std::string ScriptSafe(const std::string& json) {
  std::string safe;
  safe.reserve(json.size());
  for (char c : json) safe += c == '<' ? std::string_view("\\u003c") : std::string_view(&c, 1);
  return safe;
}

}  // namespace

std::string HtmlPage(const RunData& run, const std::string& title) {
  std::ostringstream page;
  page << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" << Escape(title)
       << "</title>\n<style>" << page::kStyle << "</style>\n</head>\n<body>\n<h1>" << Escape(title) << "</h1>\n"
       << "<div id=\"summary\"" << (run.summary.empty() ? " hidden" : "") << "><pre>" << Escape(run.summary) << "</pre>";
  // The detail's first line names it where it is folded.
  if (!run.summaryDetail.empty()) {
    const size_t cut = std::min(run.summaryDetail.find('\n'), run.summaryDetail.size());
    page << "<details><summary>" << Escape(run.summaryDetail.substr(0, cut)) << "</summary><pre>"
         << Escape(run.summaryDetail.substr(std::min(cut + 1, run.summaryDetail.size()))) << "</pre></details>";
  }
  page << "</div>\n"
       << page::kBody << "<script id=\"vornsim-data\" type=\"application/json\">"
       << ScriptSafe(DataBlock(ViewOf(run), title)) << "</script>\n<script>" << page::kScript
       << "</script>\n</body>\n</html>\n";
  return page.str();
}

}  // namespace vornsim
