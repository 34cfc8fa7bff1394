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
.explorer-row { display: grid; grid-template-columns: repeat(auto-fill, minmax(11em, 1fr)); gap: 0.4em 0.8em; }
figure.explorer { margin: 0; }
figure.explorer figcaption { font-size: 0.85em; font-weight: bold; }
figure.explorer svg { width: 100%; height: auto; font-size: 9px; }
svg .frame { fill: none; stroke: #999; } svg .grid { stroke: #e4e4e4; }
svg .series, svg .bars { fill: none; stroke-width: 1.2; }
svg .bars { stroke-width: 0.8; stroke-opacity: 0.5; }
svg .points { fill: none; stroke-linecap: round; stroke-width: 6; }
svg .holes { fill: none; stroke: #fff; stroke-linecap: round; stroke-width: 3; }
.s0 { stroke: #0072b2; } .s1 { stroke: #d55e00; } .s2 { stroke: #009e73; } .s3 { stroke: #cc79a7; }
.s4 { stroke: #e69f00; } .s5 { stroke: #56b4e9; } .s6 { stroke: #000; } .s7 { stroke: #a6761d; }
.key { display: inline-block; margin-right: 1.2em; white-space: nowrap; }
.key svg { width: 2.2em; height: 0.9em; vertical-align: middle; }
#flags { font-size: 0.8em; }
#flags td { width: 1.1em; padding: 0; text-align: center; }
#flags th { white-space: nowrap; }
#flags td.u { background: #fde2c8; } #flags td.u::after { content: "u"; }
#flags td.z { background: #e6e6e6; } #flags td.z::after { content: "\00b7"; }
#flags td.m { background: #d7301f; color: #fff; } #flags td.m::after { content: "m"; }
#flags td.a1 { background: #fde2c8; } #flags td.a2 { background: #fdae6b; }
#flags td.a3 { background: #e6550d; color: #fff; } #flags td.a4 { background: #a63603; color: #fff; }
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

}  // namespace report::study_page
