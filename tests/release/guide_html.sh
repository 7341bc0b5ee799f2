#!/usr/bin/env bash
# The user guide as the ZIP holds it, rendered by a browser (headless
# Chromium, 1280 px wide): every command block of docs/user-guide.md is a
# preformatted block that keeps its lines and shows all of them, no table
# runs into the one below it, every picture loads, and every link leads
# somewhere (a heading of the page or a file beside it).
#
#   tests/release/guide_html.sh WORK_DIR [GUIDE_DIR]
#
# Without GUIDE_DIR it makes the guide with tools/release.sh guide-html. It
# keeps a screenshot of the whole page, WORK_DIR/user-guide.png, for review.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
[ $# -ge 1 ] || { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2; }
work=$(mkdir -p "$1" && cd "$1" && pwd)
guide=${2:-}
if [ -z "$guide" ]; then
  guide=$work/guide
  rm -rf "$guide"
  "$root/tools/release.sh" guide-html "$guide"
fi
guide=$(cd "$guide" && pwd)
browser=$(command -v chromium || true)
[ -n "$browser" ] || { echo "guide_html: no chromium (apt-get install chromium)" >&2; exit 1; }

# The page with a script that looks at it once everything has loaded and puts
# what it found into the page, which --dump-dom then prints.
/usr/bin/python3 - "$root/docs/user-guide.md" "$guide/user-guide.html" "$guide/check.html" <<'PY'
import json, re, sys
source, page, probe = sys.argv[1:]
blocks = re.findall(r"^```[^\n]*\n(.*?)^```", open(source, encoding="utf-8").read(), re.M | re.S)
html = open(page, encoding="utf-8").read()
script = """<script>
window.addEventListener("load", () => {
  const blocks = %s, found = [];
  const pres = [...document.querySelectorAll("pre")];
  blocks.forEach((text, i) => {
    const pre = pres.find(p => p.textContent.replace(/\\n$/, "") === text.replace(/\\n$/, ""));
    const lines = text.replace(/\\n$/, "").split("\\n").length;
    if (!pre) { found.push("command block " + (i + 1) + " is no preformatted block: " + text.split("\\n")[0]); return; }
    const style = getComputedStyle(pre);
    const lineHeight = parseFloat(style.lineHeight) || parseFloat(style.fontSize) * 1.2;
    if (!style.whiteSpace.startsWith("pre"))
      found.push("command block " + (i + 1) + " does not keep its line breaks (white-space " + style.whiteSpace + ")");
    else if (pre.getBoundingClientRect().height < lines * lineHeight * 0.9)
      found.push("command block " + (i + 1) + " shows fewer than its " + lines + " lines");
    // Hidden scroll bars, as on a touch screen or in a printout: what is
    // past the edge is not seen at all.
    if (pre.scrollWidth > pre.clientWidth + 1)
      found.push("command block " + (i + 1) + " is cut off at the box edge (" + pre.scrollWidth +
                 " px of text in " + pre.clientWidth + " px): " + text.split("\\n")[0]);
  });
  // Two tables one under the other, without a gap, read as one grid.
  const tables = [...document.querySelectorAll("table")];
  tables.forEach((table, i) => {
    const before = table.previousElementSibling;
    if (!before || before.tagName !== "TABLE") return;
    const gap = table.getBoundingClientRect().top - before.getBoundingClientRect().bottom;
    if (gap < parseFloat(getComputedStyle(table).fontSize) / 2)
      found.push("tables " + i + " and " + (i + 1) + " run together as one grid (" + gap + " px apart): " +
                 table.querySelector("tr").textContent.trim().slice(0, 40));
  });
  for (const img of document.images)
    if (!img.complete || img.naturalWidth === 0) found.push("picture not loaded: " + img.getAttribute("src"));
  const files = [];
  for (const a of document.querySelectorAll("a[href]")) {
    const href = a.getAttribute("href");
    if (href.startsWith("#")) {
      if (!document.getElementById(decodeURIComponent(href.slice(1)))) found.push("dead link: " + href);
    } else if (!/^[a-z]+:/.test(href)) files.push(href);
  }
  if (document.body.innerText.includes("](")) found.push("a link or picture was not converted: " +
    document.body.innerText.match(/.{0,40}\\]\\(.{0,40}/)[0]);
  const out = document.createElement("pre");
  out.id = "guide-check";
  out.textContent = JSON.stringify({found, files, height: document.documentElement.scrollHeight});
  document.body.appendChild(out);
});
</script>
""" % json.dumps(blocks)
open(probe, "w", encoding="utf-8").write(html.replace("</body>", script + "</body>"))
PY

# The page at the width of a common laptop screen, checked and shot at it.
width=1280
flags=(--headless --no-sandbox --disable-gpu --disable-quic --no-first-run
  --disable-background-networking --disable-component-update --disable-sync
  --hide-scrollbars --virtual-time-budget=10000)
profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
timeout 120 "$browser" "${flags[@]}" --user-data-dir="$profile/dump" --window-size="$width,900" \
  --dump-dom "file://$guide/check.html" >"$work/dom.html" 2>"$work/chromium.log" || {
  cat "$work/chromium.log" >&2
  echo "guide_html: chromium failed" >&2
  exit 1
}
rm -f "$guide/check.html"
result=$(/usr/bin/python3 - "$work/dom.html" "$guide" <<'PY'
import html, json, os, re, sys
dom, guide = sys.argv[1:]
match = re.search(r'<pre id="guide-check">(.*?)</pre>', open(dom, encoding="utf-8").read(), re.S)
if not match:
    sys.exit("guide_html: the page's check did not run")
result = json.loads(html.unescape(match.group(1)))
for href in result["files"]:
    if not os.path.isfile(os.path.join(guide, href.split("#")[0])):
        result["found"].append("dead link: " + href + " (no such file beside the guide)")
for line in result["found"]:
    print("FAIL " + line)
print("height %d" % result["height"])
PY
)
height=$(sed -n 's/^height //p' <<<"$result")
timeout 120 "$browser" "${flags[@]}" --user-data-dir="$profile/shot" \
  --window-size="$width,$height" --screenshot="$work/user-guide.png" "file://$guide/user-guide.html" \
  >>"$work/chromium.log" 2>&1 || echo "guide_html: no screenshot (chromium.log)" >&2
if grep -q '^FAIL ' <<<"$result"; then
  grep '^FAIL ' <<<"$result" | sed 's/^FAIL /guide_html: /' >&2
  exit 1
fi
echo "guide_html: $(grep -c '^```' "$root/docs/user-guide.md" | awk '{ print $1 / 2 }') command blocks preformatted and whole, tables apart, pictures loaded, links whole; screenshot $work/user-guide.png"
