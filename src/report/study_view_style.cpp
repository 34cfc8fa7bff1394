// The study page's style sheet and script.
#include "report/study_view_parts.hpp"

namespace report::study_page {

// The style sheet, once. Series colours are the Okabe-Ito palette, which
// readers with the common colour-vision deficiencies tell apart; flags
// carry a letter as well as a colour (::after), so that print shows them.
const char* const kStyle = R"(<style>
body { font-family: sans-serif; margin: 1.5em; color: #111; line-height: 1.35; }
p, ul { max-width: 60em; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.8em; border-bottom: 1px solid #ccc; }
h3 { font-size: 1em; margin: 1em 0 0.3em; }
table { border-collapse: collapse; margin: 0.5em 0 1em; font-size: 0.92em; }
caption { text-align: left; padding-bottom: 0.3em; }
th, td { border: 1px solid #bbb; padding: 0.2em 0.45em; text-align: left; vertical-align: top; }
thead th { background: #eee; }
#configurations td:nth-child(n+5), #models td:nth-child(n+4) { text-align: right; }
#configurations thead th[data-column] { cursor: pointer; }
#configurations th[aria-sort=ascending]::after { content: " \25B2"; }
#configurations th[aria-sort=descending]::after { content: " \25BC"; }
#configurations { table-layout: fixed; width: 100%; max-width: 75em; }
#configurations thead th:nth-child(-n+2) { width: 9%; }
#configurations thead th:nth-child(3) { width: 8%; }
#configurations thead th:nth-child(4) { width: 18%; }
#configurations:not(.filtering) tbody:not(:has(input.expand:checked)) > tr:not(.group) { display: none; }
tr.group th { background: #f4f4f4; font-weight: normal; }
tr.group label { display: block; cursor: pointer; }
tr.group b { font-size: 1.05em; }
tr.failed td, tr.stale td { background: #fbe3e3; }
td.bad { background: #fde2c8; font-weight: bold; }
tr.filters input { width: 100%; box-sizing: border-box; font-size: 0.9em; }
.message { font-family: monospace; font-size: 0.9em; white-space: pre-wrap; overflow-wrap: anywhere; }
.note { font-style: italic; color: #333; }
#totals span[data-total] { font-weight: bold; }
tr.preferred td { background: #e3f1e0; font-weight: bold; }
#models small { display: block; font-weight: normal; color: #444; }
.explorer-picks { margin-top: 0.6em; }
.explorer-picks > input { position: absolute; opacity: 0; }
.explorer-picks > label { display: inline-block; padding: 0.15em 0.55em; margin: 0.15em 0.1em; border: 1px solid #aaa; border-radius: 3px; cursor: pointer; }
.explorer-picks > input:checked + label { background: #333; color: #fff; border-color: #333; }
.explorer-picks > input:focus-visible + label { outline: 2px solid #0072b2; }
.pick-title { display: inline-block; min-width: 6.5em; font-weight: bold; }
.explorer-row { display: grid; grid-template-columns: repeat(auto-fill, minmax(290px, 1fr)); gap: 0.6em 1.2em; }
figure.explorer { margin: 0; }
figure.explorer figcaption { font-weight: bold; }
figure.explorer .same { font-weight: normal; font-style: italic; font-size: 0.9em; }
figure.explorer svg { width: 100%; height: auto; font-size: 13px; }
.axis-title { font-weight: bold; fill: #333; }
svg .frame { fill: none; stroke: #999; } svg .grid { fill: none; stroke: #e4e4e4; }
#explorer-charts { min-height: 30em; }
svg .series, svg .bars { fill: none; stroke-width: 1.4; }
svg .bars { stroke-width: 1; stroke-opacity: 0.6; }
svg .points { fill: none; stroke-width: 8; stroke-linecap: round; }
svg .holes { fill: none; stroke: #fff; stroke-width: 4; stroke-linecap: round; }
svg .points.q, svg .holes.q { stroke-width: 7; stroke-linecap: square; }
svg .holes.q { stroke-width: 3; }
.s0 { stroke: #0072b2; } .s1 { stroke: #d55e00; } .s2 { stroke: #009e73; } .s3 { stroke: #cc79a7; }
.s4 { stroke: #e69f00; } .s5 { stroke: #56b4e9; } .s6 { stroke: #000; } .s7 { stroke: #a6761d; }
.replay-errors td { text-align: right; }
.key { display: inline-block; margin-right: 1.2em; white-space: nowrap; }
.key svg, .replay-errors svg { width: 2.5em; height: 1em; vertical-align: middle; margin-right: 0.3em; }
#flags { font-size: 0.8em; }
#flags td { width: 1.1em; padding: 0; text-align: center; }
#flags th { white-space: nowrap; }
#flags td.u { background: #fde2c8; } #flags td.u::after { content: "u"; }
#flags td.z { background: #e6e6e6; } #flags td.z::after { content: "\00b7"; }
#flags td.m { background: #d7301f; color: #fff; } #flags td.m::after { content: "m"; }
#flags td.a1 { background: #fde2c8; } #flags td.a2 { background: #fdae6b; }
#flags td.a3 { background: #e6550d; color: #fff; } #flags td.a4 { background: #a63603; color: #fff; }
@media (max-width: 900px) {
  body { margin: 0.6em; }
  table { font-size: 0.8em; }
  th, td { padding: 0.15em 0.25em; }
  #configurations th { overflow-wrap: anywhere; hyphens: auto; }
  #configurations thead th { font-size: 0.9em; }
  #configurations thead th:nth-child(1), #configurations thead th:nth-child(4) { width: 9%; }
  #configurations thead th:nth-child(2) { width: 10.5%; }
  #configurations thead th:nth-child(3) { width: 8%; }
  #models small { white-space: normal; }
  #flags { font-size: 0.68em; }
}
@media print { body { margin: 0; } td, th { print-color-adjust: exact; -webkit-print-color-adjust: exact; } }
</style>
)";

// Sorting and filtering of table#configurations. Clicking a heading sorts
// the rows of every species group by that column (again: the other way);
// numbers by value, unknown ones last; text in natural order ("a2" < "a10").
// The filter fields under the headings keep rows whose cell contains the
// text typed, or for numbers a comparison: "<0", ">=0.9". The original
// order breaks ties, so the order is stable.
//
// Built for 10,000 rows and more: the cells' texts are read from the page
// once, when first needed, and a sort compares those (one collator, made
// once), then moves each group's rows in one fragment. A filter changes
// only the rows whose state changes. While the rows a filter keeps are few
// (kFilterOpens), they show even in closed groups; beyond, the count says
// how many there are and a group shows them when opened.
const char* const kScript = R"js(<script>
(function () {
  var table = document.getElementById("configurations");
  if (!table) return;
  var filterOpens = Number(table.dataset.filterOpens);
  var heads = table.tHead.rows[0].cells;
  var collator = new Intl.Collator(undefined, { numeric: true });
  var groups = Array.prototype.map.call(table.tBodies, function (body) {
    return { body: body, texts: null,
             rows: Array.prototype.filter.call(body.rows, function (r) { return !r.classList.contains("group"); }) };
  });
  var filters = table.tHead.insertRow(-1);
  filters.className = "filters";
  Array.prototype.forEach.call(heads, function (th, i) {
    var input = document.createElement("input");
    input.type = "search"; input.placeholder = "filter";
    input.setAttribute("aria-label", "filter by " + th.textContent);
    input.addEventListener("input", apply);
    filters.insertCell(-1).appendChild(input);
    th.tabIndex = 0;
    th.addEventListener("click", function () { sort(i); });
    th.addEventListener("keydown", function (e) { if (e.key === "Enter") sort(i); });
  });
  // A group's cells' texts, row by row in the order given; read once.
  function textsOf(g) {
    if (!g.texts) {
      g.texts = g.rows.map(function (r) {
        return Array.prototype.map.call(r.cells, function (c) { return c.textContent.trim(); });
      });
    }
    return g.texts;
  }
  function isNumber(i) { return heads[i].dataset.type === "number"; }
  function sort(i) {
    var down = heads[i].getAttribute("aria-sort") === "ascending";
    Array.prototype.forEach.call(heads, function (th) { th.removeAttribute("aria-sort"); });
    heads[i].setAttribute("aria-sort", down ? "descending" : "ascending");
    var sign = down ? -1 : 1, numeric = isNumber(i);
    groups.forEach(function (g) {
      var keys = textsOf(g).map(function (cells) {
        var text = cells[i] || "";
        return numeric ? parseFloat(text) : text;
      });
      var order = keys.map(function (k, n) { return n; });
      order.sort(function (a, b) {
        var x = keys[a], y = keys[b], c;
        if (numeric) c = isNaN(x) || isNaN(y) ? isNaN(x) - isNaN(y) : sign * (x - y);
        else c = sign * collator.compare(x, y);
        return c || a - b;
      });
      var moved = document.createDocumentFragment();
      order.forEach(function (n) { moved.appendChild(g.rows[n]); });
      g.body.appendChild(moved);
    });
  }
  function matches(text, wanted, numeric) {
    var m = numeric && /^\s*(<=|>=|<|>|=)\s*(-?[0-9.]+(e-?[0-9]+)?)\s*$/i.exec(wanted);
    if (m) {
      var v = parseFloat(text), w = parseFloat(m[2]);
      if (isNaN(v)) return false;
      return m[1] === "<" ? v < w : m[1] === ">" ? v > w : m[1] === "<=" ? v <= w : m[1] === ">=" ? v >= w : v === w;
    }
    return text.toLowerCase().indexOf(wanted) >= 0;
  }
  function apply() {
    var wanted = Array.prototype.map.call(filters.cells, function (c) { return c.firstChild.value.trim().toLowerCase(); });
    var numeric = wanted.map(function (w, i) { return isNumber(i); });
    var shown = 0, total = 0;
    groups.forEach(function (g) {
      var texts = textsOf(g), any = false;
      g.rows.forEach(function (r, n) {
        var keep = wanted.every(function (w, i) { return !w || matches(texts[n][i] || "", w, numeric[i]); });
        if (r.hidden === keep) r.hidden = !keep;
        any = any || keep; shown += keep; total++;
      });
      if (g.body.hidden === any) g.body.hidden = !any;
    });
    table.classList.toggle("filtering", shown < total && shown <= filterOpens);
    document.getElementById("shown-count").textContent = shown === total ? "" :
      "Showing " + shown + " of " + total + " configurations" +
      (shown > filterOpens && table.querySelector("input.expand:not(:checked)") ?
       " (a closed group shows them when opened)." : ".");
  }
})();
</script>
)js";

// The explorer's charts: on load and whenever a picker changes, the
// charts of the species and target bin picked, from the data block
// (script#explorer-data, see study_view_explorer.cpp). Per term an SVG
// chart 330 x 214 units (drawn about as many pixels wide): the value axis
// covers the values to be trusted (all when none is) and their error bars
// up to the values' span again, padded; values beyond it stand on its
// edge, unconnected. Ticks at 1, 2 or 5 times a power of ten, as the
// pages' charts. At each scenario the tags' points stand side by side (at
// most 9 units apart), so that equal values stay visible; a caption names
// a tag whose values equal an earlier tag's as shown (four digits).
// Markers: colour and shape (circle, square) by the tag's place in the
// study, filled when trusted, hollow otherwise.
const char* const kExplorerScript = R"js(<script>
(function () {
  var block = document.getElementById("explorer-data"), place = document.getElementById("explorer-charts");
  if (!block || !place) return;
  var data = JSON.parse(block.textContent);
  var W = 330, H = 214, L = 66, R = 322, T = 10, B = 162, BAR = 8, DODGE = 9;
  var TERMS = ["VOC", "VB1", "VB2", "VB3", "VB4", "VB5", "VB6"];
  function esc(text) {
    return String(text).replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;").replace(/"/g, "&quot;");
  }
  function label(v) {
    if (v === 0) return "0";
    var a = Math.abs(v), p = Number(v.toPrecision(3));
    return a < 1e-3 || a >= 1e5 ? p.toExponential().replace(/e([+-])(\d)$/, "e$10$2") : String(p);
  }
  function ticks(low, high, target) {
    var raw = (high - low) / target, power = Math.pow(10, Math.floor(Math.log10(raw))), step = power;
    [2, 5, 10].forEach(function (m) { if (raw > step) step = power * m; });
    var out = [], first = Math.ceil(low / step);
    for (var k = 0; k <= 2 * target + 1; ++k) {
      var v = (first + k) * step;
      if (!(v <= high)) break;
      out.push(Math.abs(v) < step * 1e-9 ? 0 : v);
    }
    return out;
  }
  function classes(tag) {
    return "s" + (tag % 8) + ((tag + Math.floor(tag / 8)) % 2 === 1 ? " q" : "");
  }
  function swatch(tag) {
    return '<svg viewBox="0 0 30 12" aria-hidden="true"><path class="series ' + classes(tag) +
        '" d="M1 6H29"/><path class="points filled ' + classes(tag) + '" d="M15 6h0"/></svg>';
  }
  // The figures of a configuration text: fields[(bin - 1) * 7 + term] is
  // "value/se/verdict", fields[42 + bin - 1] the replay error.
  function term(fields, bin, t) {
    if (!fields) return null;
    var f = fields[(bin - 1) * 7 + t].split("/"), v = parseFloat(f[0]);
    if (f.length < 3 || f[2] === "z" || !isFinite(v)) return null;
    return {text: f[0], v: v, se: parseFloat(f[1]), trusted: f[2] === "t"};
  }
  function chart(row, species, series, bin, t) {
    var points = series.map(function (s) {
      return s.fields.map(function (fields) { return term(fields, bin, t); });
    });
    var low = Infinity, high = -Infinity;
    [true, false].some(function (trustedOnly) {
      points.forEach(function (p) { p.forEach(function (k) {
        if (k && (k.trusted || !trustedOnly)) { low = Math.min(low, k.v); high = Math.max(high, k.v); }
      }); });
      return low <= high;
    });
    var caption = TERMS[t], same = [];
    for (var b = 1; b < points.length; ++b) {
      for (var a = 0; a < b; ++a) {
        var any = false, equal = points[a].every(function (k, i) {
          var m = points[b][i];
          if (!k && !m) return true;
          any = true;
          return k && m && k.text === m.text;
        });
        if (equal && any) { same.push(esc(data.tags[series[b].tag]) + " same as " + esc(data.tags[series[a].tag])); break; }
      }
    }
    if (same.length) caption += ' <span class="same">(' + same.join("; ") + ")</span>";
    var svg = '<figure class="explorer" data-bin="' + bin + '" data-term="' + TERMS[t] + '"><figcaption>' + caption +
        '</figcaption><svg viewBox="0 0 ' + W + " " + H + '" role="img" aria-label="' + esc(species) + " VB" + bin +
        " " + TERMS[t] + '">';
    var scenarios = data.scenarios, slot = (R - L) / scenarios.length, mid = (T + B) / 2;
    svg += '<rect class="frame" x="' + L + '" y="' + T + '" width="' + (R - L) + '" height="' + (B - T) + '"/>';
    var every = Math.max(1, Math.floor((scenarios.length + 7) / 8)), text = "";
    for (var i = 0; i < scenarios.length; i += every) {
      var name = scenarios[i].length > 10 ? scenarios[i].slice(0, 9) + "\u2026" : scenarios[i];
      text += '<text x="' + Math.round(L + (i + 0.5) * slot) + '" y="' + (B + 17) + '">' + esc(name) + "</text>";
    }
    text += '<text class="axis-title" x="' + (L + R) / 2 + '" y="' + (H - 8) + '">scenario</text>' +
        '<text class="axis-title" x="14" y="' + mid + '" transform="rotate(-90 14 ' + mid + ')">coefficient</text>';
    svg += '<g text-anchor="middle">' + text + "</g>";
    if (!(low <= high)) {
      row.insertAdjacentHTML("beforeend", svg + '<text x="' + (L + R) / 2 + '" y="' + mid +
          '" text-anchor="middle">no effect, or no figures</text></svg></figure>');
      return;
    }
    var vlow = low, vhigh = high, span = Math.max(vhigh - vlow, Math.max(Math.abs(vhigh), 1e-3) * 0.1);
    points.forEach(function (p) { p.forEach(function (k) {
      if (!k || !isFinite(k.se)) return;
      low = Math.min(low, Math.max(k.v - k.se, vlow - span));
      high = Math.max(high, Math.min(k.v + k.se, vhigh + span));
    }); });
    var pad = (high - low) * 0.06 + (high === low ? 0.05 * Math.max(Math.abs(high), 1) : 0);
    low -= pad; high += pad;
    function y(v) { return Math.round(B - (Math.min(Math.max(v, low), high) - low) / (high - low) * (B - T)); }
    var grid = "", labels = "";
    ticks(low, high, 4).forEach(function (v) {
      grid += "M" + L + " " + y(v) + "H" + R;
      labels += '<text x="' + (L - 5) + '" y="' + (y(v) + 4) + '">' + label(v) + "</text>";
    });
    svg += '<path class="grid" d="' + grid + '"/><g text-anchor="end">' + labels + "</g>";
    var step = Math.min(DODGE, slot * 0.6 / points.length);
    points.forEach(function (p, n) {
      var shift = Math.round((n - (points.length - 1) / 2) * step), line = "", bars = "", filled = "", hollow = "", down = false;
      p.forEach(function (k, i) {
        if (!k) { down = false; return; }
        var x = Math.round(L + (i + 0.5) * slot) + shift, yv = y(k.v), inside = k.v >= low && k.v <= high;
        if (inside) line += (down ? "L" : "M") + x + " " + yv;
        down = inside;
        if (isFinite(k.se) && y(k.v - k.se) - y(k.v + k.se) > BAR) bars += "M" + x + " " + y(k.v - k.se) + "V" + y(k.v + k.se);
        if (k.trusted) filled += "M" + x + " " + yv + "h0"; else hollow += "M" + x + " " + yv + "h0";
      });
      var cls = classes(series[n].tag), q = cls.indexOf(" q") > 0 ? " q" : "";
      if (line) svg += '<path class="series ' + cls + '" data-series="' + esc(species + " " + data.tags[series[n].tag]) + '" d="' + line + '"/>';
      if (bars) svg += '<path class="bars ' + cls + '" d="' + bars + '"/>';
      if (filled) svg += '<path class="points filled ' + cls + '" d="' + filled + '"/>';
      if (hollow) svg += '<path class="points hollow ' + cls + '" d="' + hollow + '"/><path class="holes' + q + '" d="' + hollow + '"/>';
    });
    row.insertAdjacentHTML("beforeend", svg + "</svg></figure>");
  }
  function replayErrors(species, series, bin) {
    var any = series.some(function (s) { return s.fields.some(function (f) { return f && f[41 + bin] !== ""; }); });
    if (!any) return '<p class="note replay-errors">Replay error of VB' + bin + ": not recorded.</p>";
    var out = '<table class="replay-errors"><caption>Replay error of VB' + bin + ": the fit run alone, its largest " +
        "distance from the observed bin, in per cent of the bin's peak</caption><thead><tr><th>Tag";
    data.scenarios.forEach(function (s) { out += "<th>" + esc(s); });
    out += "</tr></thead><tbody>";
    series.forEach(function (s) {
      out += "<tr><th>" + swatch(s.tag) + esc(data.tags[s.tag]);
      s.fields.forEach(function (f) {
        var e = f ? f[41 + bin] : null;
        out += e === null ? "<td>" : e === "" ? '<td class="note">not recorded' :
            '<td data-replay-error="' + e + '">' + Number((100 * parseFloat(e)).toPrecision(2)) + " %";
      });
      out += "</tr>";
    });
    return out + "</tbody></table>";
  }
  function draw() {
    var n = Number((document.querySelector('input[name="explorer-species"]:checked') || {value: 0}).value);
    var bin = Number((document.querySelector('input[name="explorer-bin"]:checked') || {value: 1}).value);
    var entry = data.species[n], species = entry[0];
    var series = entry[1].map(function (s) {
      return {tag: s[0], fields: s[1].map(function (text) { return text === null ? null : text.split(" "); })};
    });
    var key = "";
    series.forEach(function (s) { key += '<span class="key">' + swatch(s.tag) + esc(data.tags[s.tag]) + "</span> "; });
    place.innerHTML = '<p class="explorer-key">' + key + "</p><h3>" + esc(species) + ", target bin VB" + bin + "</h3>" +
        replayErrors(species, series, bin) + '<div class="explorer-row"></div>';
    for (var t = 0; t < 7; ++t) chart(place.lastChild, species, series, bin, t);
  }
  document.querySelectorAll('#explorer input[type="radio"]').forEach(function (input) {
    input.addEventListener("change", draw);
  });
  draw();
})();
</script>
)js";

}  // namespace report::study_page
