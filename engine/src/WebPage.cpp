#include "WebPage.h"

#include <sstream>
#include <vector>

namespace tvsk {
namespace {

// "Code" of a device status that reports no fault.
constexpr long long kStatusOkCode = 1;

constexpr const char* kStyle = R"css(
:root { color-scheme: light; }
* { box-sizing: border-box; }
body { margin: 0; font: 14px/1.45 "Segoe UI", "Helvetica Neue", Arial, sans-serif; color: #1f2933; background: #eef1f5; }
header { display: flex; align-items: center; gap: 16px; padding: 14px 28px; background: #1d2b3a; color: #f5f7fa; }
header h1 { margin: 0; font-size: 19px; font-weight: 600; letter-spacing: .3px; }
header .role { padding: 2px 10px; border-radius: 10px; background: #2f80ed; font-size: 12px; font-weight: 600; }
header .meta { margin-left: auto; font-size: 12px; color: #aab7c6; }
header .meta.stale { color: #ffb4a9; }
main { padding: 22px 28px 32px; display: grid; gap: 22px; max-width: 1400px; }
section { background: #fff; border: 1px solid #d9dfe7; border-radius: 8px; overflow: hidden; }
section h2 { margin: 0; padding: 11px 16px; font-size: 14px; font-weight: 600; background: #f7f9fb; border-bottom: 1px solid #d9dfe7; }
section h2 .count { margin-left: 8px; padding: 0 8px; border-radius: 9px; background: #dde5ef; color: #415164; font-size: 12px; }
table { width: 100%; border-collapse: collapse; }
th, td { padding: 8px 16px; text-align: left; vertical-align: top; border-bottom: 1px solid #edf0f4; }
th { font-size: 11px; font-weight: 600; text-transform: uppercase; letter-spacing: .5px; color: #66758a; }
tr:last-child td { border-bottom: none; }
td.num { font-variant-numeric: tabular-nums; }
.mono { font-family: "SFMono-Regular", Consolas, "Liberation Mono", monospace; font-size: 13px; }
.empty { padding: 16px; color: #7b8794; font-style: italic; }
ul.flows { margin: 0; padding: 0; list-style: none; }
ul.flows li { white-space: nowrap; }
.none { color: #9aa5b1; }
.plugins { display: flex; flex-wrap: wrap; gap: 8px; padding: 12px 16px; }
.state { font-weight: 600; }
.state.ok { color: #1e7b34; }
.state.error { color: #b42318; }
ul.errors { margin: 2px 0 0; padding: 0; list-style: none; color: #b42318; }
.plugin { padding: 3px 10px; border: 1px solid #cbd5e1; border-radius: 12px; background: #f7f9fb; font-size: 12px; }
)css";

// Room for everything on the page but its rows.
constexpr std::size_t kPageFrameBytes = 8 * 1024;

// Swaps in the freshly rendered content without reloading the page, so scrolling is kept.
constexpr const char* kRefreshScript = R"js(
(function () {
  var seconds = %SECONDS%;
  function refresh() {
    fetch(window.location.pathname, { cache: 'no-store' })
      .then(function (response) { if (!response.ok) throw new Error(response.status); return response.text(); })
      .then(function (text) {
        var next = new DOMParser().parseFromString(text, 'text/html').getElementById('content');
        if (next) document.getElementById('content').replaceWith(next);
      })
      .catch(function () {
        var meta = document.getElementById('updated');
        if (meta) { meta.textContent = 'Engine not reachable'; meta.className = 'meta stale'; }
      });
  }
  setInterval(refresh, seconds * 1000);
})();
)js";

std::string text(const Json& object, const char* key) {
  if (!object.is_object()) {
    return {};
  }
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) {
    return {};
  }
  if (found->is_string()) {
    return found->get<std::string>();
  }
  return compactJson(*found);
}

const Json& member(const Json& object, const char* key) {
  static const Json kNull;
  if (!object.is_object()) {
    return kNull;
  }
  const auto found = object.find(key);
  return found == object.end() ? kNull : *found;
}

std::string cell(const std::string& value, const char* cssClass = nullptr) {
  std::string html = cssClass != nullptr ? std::string("<td class=\"") + cssClass + "\">" : std::string("<td>");
  if (value.empty()) {
    html += "<span class=\"none\">&ndash;</span>";
  } else {
    html += escapeHtml(value);
  }
  return html + "</td>";
}

std::string sampleRateText(const Json& value) {
  if (!value.is_number()) {
    return {};
  }
  const double hertz = value.get<double>();
  std::ostringstream out;
  out << hertz / 1000.0 << " kHz";
  return out.str();
}

std::string deviceSampleRate(const Json& device) {
  const Json& groups = member(device, "IOGroups");
  if (groups.is_array()) {
    for (const Json& group : groups) {
      const std::string rate = sampleRateText(member(member(group, "Status"), "SampleRate"));
      if (!rate.empty()) {
        return rate;
      }
    }
  }
  return {};
}

std::string deviceAddress(const Json& device) {
  const Json& interfaces = member(member(device, "Network"), "Interfaces");
  if (interfaces.is_array()) {
    for (const Json& networkInterface : interfaces) {
      const std::string address = text(networkInterface, "Address");
      if (!address.empty()) {
        return address;
      }
    }
  }
  return {};
}

// The device's state as its plug-in reports it: the status message and each error with its text.
std::string statusCell(const Json& device) {
  const Json& status = member(device, "Status");
  const std::string message = text(status, "Message");
  const Json& errors = member(status, "Errors");
  const bool hasErrors = errors.is_object() && !errors.empty();
  if (message.empty() && !hasErrors) {
    return "<td class=\"status\"><span class=\"none\">&ndash;</span></td>";
  }
  const Json& code = member(status, "Code");
  const bool ok = code.is_number_integer() && code.get<long long>() == kStatusOkCode && !hasErrors;
  std::string html = "<td class=\"status\"><span class=\"state " + std::string(ok ? "ok" : "error") + "\">" +
                     escapeHtml(message.empty() ? std::string("ERROR") : message) + "</span>";
  if (hasErrors) {
    html += "<ul class=\"errors\">";
    for (const auto& error : errors.items()) {
      const std::string detail =
          error.value().is_string() ? error.value().get<std::string>() : compactJson(error.value());
      html += "<li>" + escapeHtml(error.key() + ": " + detail) + "</li>";
    }
    html += "</ul>";
  }
  return html + "</td>";
}

// Streamers or receivers of a device: one line each, name and stream address.
std::string flowList(const Json& flows) {
  if (!flows.is_array() || flows.empty()) {
    return "<td><span class=\"none\">none</span></td>";
  }
  std::string html = "<td><ul class=\"flows\">";
  for (const Json& flow : flows) {
    std::string name = text(flow, "Name");
    if (name.empty()) {
      name = text(flow, "StreamName");
    }
    if (name.empty()) {
      name = "#" + text(flow, "Id");
    }
    // Streamers carry their description at the top, receivers under their status.
    const Json& own = member(flow, "StreamDescription");
    const Json& description = own.is_object() ? own : member(member(flow, "Status"), "StreamDescription");
    const std::string address = text(description, "Address");
    const std::string port = text(description, "Port");
    html += "<li>" + escapeHtml(name);
    if (!address.empty()) {
      html += " <span class=\"mono none\">" + escapeHtml(address + (port.empty() ? "" : ":" + port)) + "</span>";
    }
    html += "</li>";
  }
  return html + "</ul></td>";
}

std::string roleName(const Json& role) {
  if (role.is_number_integer() && role.get<long long>() == 3) {
    return "Master";
  }
  if (role.is_number_integer() && role.get<long long>() == 1) {
    return "Server";
  }
  return "Engine";
}

void appendPlugins(std::string& out, const Json& plugins) {
  out += "<section id=\"plugins\"><h2>Plug-ins<span class=\"count\">" +
         std::to_string(plugins.is_array() ? plugins.size() : 0) + "</span></h2>";
  if (!plugins.is_array() || plugins.empty()) {
    out += "<div class=\"empty\">No plug-in loaded.</div></section>";
    return;
  }
  out += "<div class=\"plugins\">";
  for (const Json& plugin : plugins) {
    out += "<span class=\"plugin\">" + escapeHtml(text(plugin, "Name")) + " " +
           escapeHtml(text(plugin, "Major") + "." + text(plugin, "Minor")) + "</span>";
  }
  out += "</div></section>";
}

// A table section: its heading with the row count, then the rows or the text for none.
void appendSection(std::string& out, const char* id, const char* heading, const char* emptyText, const char* columns,
                   const std::vector<std::string_view>& rows) {
  out += std::string("<section id=\"") + id + "\"><h2>" + heading + "<span class=\"count\">" +
         std::to_string(rows.size()) + "</span></h2>";
  if (rows.empty()) {
    out += std::string("<div class=\"empty\">") + emptyText + "</div></section>";
    return;
  }
  out += std::string("<table><thead><tr>") + columns + "</tr></thead><tbody>";
  for (const std::string_view row : rows) {
    out += row;
  }
  out += "</tbody></table></section>";
}

constexpr const char* kDeviceColumns =
    "<th>Name</th><th>Status</th><th>Address</th><th>Sample rate</th><th>Streamers</th><th>Receivers</th>";
constexpr const char* kStreamColumns =
    "<th>Name</th><th>Source</th><th>Destination</th><th>Encoding</th><th>Sample rate</th><th>Channels</th>"
    "<th>Origin</th>";

}  // namespace

std::string escapeHtml(std::string_view input) {
  std::string out;
  out.reserve(input.size());
  for (const char c : input) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c; break;
    }
  }
  return out;
}

std::string renderDeviceRow(const Json& device) {
  const Json& identity = member(device, "Identity");
  const std::string name = text(identity, "Name");
  const std::string product = text(identity, "Product");
  return "<tr class=\"device\"><td><strong>" +
         (name.empty() ? std::string("Device ") + escapeHtml(text(device, "Id")) : escapeHtml(name)) + "</strong>" +
         (product.empty() ? "" : "<br><span class=\"none\">" + escapeHtml(product) + "</span>") + "</td>" +
         statusCell(device) + cell(deviceAddress(device), "mono") + cell(deviceSampleRate(device), "num") +
         flowList(member(device, "Streamers")) + flowList(member(device, "Receivers")) + "</tr>";
}

std::string renderStreamRow(const Json& stream) {
  const std::string port = text(stream, "DestinationPort");
  const std::string destination = text(stream, "DestinationIp") + (port.empty() ? "" : ":" + port);
  return "<tr class=\"stream\">" + cell(text(stream, "Name")) + cell(text(stream, "Ip"), "mono") +
         cell(destination, "mono") + cell(text(stream, "Encoding")) +
         cell(sampleRateText(member(stream, "SampleRate")), "num") + cell(text(stream, "TrackNumber"), "num") +
         cell(text(stream, "Origin")) + "</tr>";
}

std::string joinStatusPage(const Json& config, const std::vector<std::string_view>& deviceRows,
                           const std::vector<std::string_view>& streamRows, int refreshSeconds) {
  std::size_t rowBytes = 0;
  for (const auto* rows : {&deviceRows, &streamRows}) {
    for (const std::string_view row : *rows) {
      rowBytes += row.size();
    }
  }
  std::string out;
  out.reserve(rowBytes + kPageFrameBytes);
  out +=
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<title>TaviskEngine</title><style>";
  out += kStyle;
  out += "</style></head><body><div id=\"content\"><header><h1>TaviskEngine</h1><span class=\"role\">";
  out += roleName(member(config, "Role"));
  out += "</span><span class=\"meta\" id=\"updated\">Refreshes every " + std::to_string(refreshSeconds) +
         " s</span></header><main>";
  appendSection(out, "devices", "Devices", "No device.", kDeviceColumns, deviceRows);
  appendSection(out, "streams", "Discovered streams", "No stream announced.", kStreamColumns, streamRows);
  appendPlugins(out, member(config, "Plugins"));
  out += "</main></div><script>";
  std::string script = kRefreshScript;
  const std::string marker = "%SECONDS%";
  script.replace(script.find(marker), marker.size(), std::to_string(refreshSeconds));
  out += script;
  out += "</script></body></html>\n";
  return out;
}

std::string renderStatusPage(const Json& document, int refreshSeconds) {
  std::vector<std::string> deviceRows;
  std::vector<std::string> streamRows;
  const Json& devices = member(document, "Devices");
  if (devices.is_array()) {
    for (const Json& device : devices) {
      deviceRows.push_back(renderDeviceRow(device));
    }
  }
  const Json& streams = member(document, "Streams");
  if (streams.is_array()) {
    for (const Json& stream : streams) {
      streamRows.push_back(renderStreamRow(stream));
    }
  }
  return joinStatusPage(member(document, "Config"), {deviceRows.begin(), deviceRows.end()},
                        {streamRows.begin(), streamRows.end()}, refreshSeconds);
}

}  // namespace tvsk
