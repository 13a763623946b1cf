"""The HTML page's inline style sheet and script (nothing is fetched)."""

STYLE = """
body{font:14px/1.4 system-ui,sans-serif;margin:0 auto;max-width:1200px;padding:0 16px 40px;color:#222}
h1{font-size:22px;margin:18px 0 4px}h2{font-size:17px;margin:26px 0 6px;border-bottom:1px solid #ccc}
h3{font-size:14px;margin:12px 0 4px}
.status1{color:#b00}.status0{color:#070}
table{border-collapse:collapse;margin:6px 0}td,th{padding:2px 8px;text-align:left;border-bottom:1px solid #eee;
vertical-align:top}th{background:#f4f4f4}
td.count,th.count{text-align:right}tr.found td{color:#b00;font-weight:600}table.idle td{color:#999}
.chart{width:100%;max-height:340px}.chart .bar{fill:#4a7fb5}.chart .rare{fill:#e0582b}
.chart text{fill:#444}.chart .count{text-anchor:middle}
.legend{color:#555}.legend i{display:inline-block;width:10px;height:10px;background:#e0582b;margin-right:4px}
.gallery{display:flex;flex-wrap:wrap;gap:10px}
figure{margin:0;width:140px;font-size:11px}figure img{max-width:128px;max-height:96px;display:block;
border:1px solid #ccc}
.none{display:flex;width:96px;height:72px;align-items:center;justify-content:center;background:#eee;color:#777;
border:1px dashed #aaa;text-align:center}
a.path{display:block;word-break:break-all;color:#246}
.field,.mark{display:inline-block;margin-right:6px}.field b{font-weight:600;color:#555}
.mark{background:#b00;color:#fff;padding:0 5px;border-radius:3px;font-weight:600}
.group{border:1px solid #ddd;border-radius:4px;padding:6px;font-size:12px}.group.flagged{border-color:#b00}
.group .files{display:flex;gap:8px}.group p{margin:4px 0 0;max-width:600px}
.items{font-size:12px}.more,.about{color:#555}
section{content-visibility:auto;contain-intrinsic-size:auto 600px}
.top{display:grid;grid-template-columns:minmax(300px,5fr) 7fr;gap:24px;align-items:start}
.top table{font-size:13px}.top td,.top th{padding:1px 8px}.row{display:flex;gap:16px;align-items:flex-start}
details{margin:6px 0;color:#777;font-size:13px}
#filter{margin:8px 0;padding:3px;width:320px}
"""

# Filters the files shown by a part of their path (or fields).
SCRIPT = """
var filter = document.getElementById('filter');
if (filter) filter.addEventListener('input', function (event) {
  var text = event.target.value.toLowerCase();
  document.querySelectorAll('.kind figure, .kind .group, .kind tbody tr').forEach(function (element) {
    if (element.closest('.group') && element.tagName === 'FIGURE') return;
    element.style.display = element.textContent.toLowerCase().indexOf(text) < 0 ? 'none' : '';
  });
});
"""
