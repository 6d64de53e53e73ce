#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Badges as a browser draws them. The built vorncounter answers a few
# hundred badges (every style, labels of 0 to 40 characters in Latin
# letters, Hangul and both mixed, counts of 1 to 30 digits, some in
# short), which one page holds inline; headless Chromium with DejaVu Sans
# measures each text that is read (not its shadow):
#  - its box lies in its part less the padding, within 1 px either side,
#    so no text is clipped or off centre whatever font fills it;
#  - a text of characters DejaVu Sans has is as wide, drawn by the browser
#    without textLength, as the textLength the badge gives it, within 1 px
#    (a wrong width table shows here).
# With the dark scheme forced and with the light one, a badge of
# darkmode=auto must take the dark colours only on the dark page, and an
# SVG answer of a digit set with a -dark twin must show the twin only
# there, both inline and as a picture (<img>). Finally every style is
# screenshot, light and dark, at pixel ratio 1 and 2, for a person to look
# at: BUILD_DIR/browser-badges/badges-{light,dark}-{1x,2x}.png.
#
#   tests/badge_browser_test.sh BUILD_DIR
#
# Exits 77 (skipped) when Chromium is not installed (scripts/install-deps
# installs it).
set -uo pipefail

build=$(cd "${1:?usage: badge_browser_test.sh BUILD_DIR}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/scripts/lib/site.sh"
if ! command -v chromium >/dev/null; then
    echo "badge_browser: skipped, chromium is not installed (scripts/install-deps installs it)"
    exit 77
fi
command -v fc-list >/dev/null || { echo "badge_browser: fc-list is missing (fontconfig)"; exit 1; }
# The widths are DejaVu Sans'; Hangul needs a font of its own, or the
# browser draws empty boxes and the screenshots show nothing of it.
if [ -z "$(fc-list 'DejaVu Sans:style=Book' family)" ] || [ -z "$(fc-list :lang=ko family)" ]; then
    echo "badge_browser: DejaVu Sans or a Hangul font is missing" \
        "(scripts/install-deps installs fonts-dejavu-core and fonts-alee)"
    exit 1
fi
export TZ=UTC LC_ALL=C.UTF-8
export ASAN_OPTIONS=abort_on_error=0:exitcode=86:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=87

out=$build/browser-badges
tmp=$(mktemp -d "${TMPDIR:-/tmp}/vorn-badges.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
rm -rf "$out"
mkdir -p "$out"
site=$tmp/site
vc_site_create "$build" "$site" || exit 1
failures=()
fail() { failures+=("$*"); echo "FAIL: $*" >&2; }

# urlencode TEXT: every byte but the unreserved ones as %XX.
urlencode() {
    local LC_ALL=C text=$1 i c encoded=
    for ((i = 0; i < ${#text}; i++)); do
        c=${text:i:1}
        case $c in
            [a-zA-Z0-9.~_-]) encoded+=$c ;;
            *) printf -v c '%%%02X' "'$c"; encoded+=$c ;;
        esac
    done
    printf '%s' "$encoded"
}

# answer QUERY: the body of vorncounter's answer to a GET of QUERY in the
# site; fails, saying why on standard error, unless it is an SVG document.
answer() {
    local reply
    if ! reply=$(cd "$site" && REMOTE_ADDR=127.0.0.1 REQUEST_METHOD=GET QUERY_STRING=$1 "$build/bin/vorncounter"); then
        echo "vorncounter failed on $1" >&2
        return 1
    fi
    if ! grep -q '^Content-type: image/svg+xml' <<<"$reply"; then
        echo "no SVG answer to $1: $(head -c 300 <<<"$reply")" >&2
        return 1
    fi
    sed '1,/^\r\?$/d' <<<"$reply"
}

# Counters whose totals have 1 to 30 digits. vornctl sets at most 18; the
# longer ones are c18's records with a longer total, loaded with gdbm_load
# (a visit counts on from any total the file holds).
digits=(1 2 3 4 6 8 10 13 16 18 24 30)
total=123456789012345678901234567890
for d in "${digits[@]}"; do
    if [ "$d" -le 18 ]; then
        "$build/bin/vornctl" -C "$site" create "c$d" --total "${total:0:d}" >/dev/null ||
            { echo "badge_browser: vornctl could not create counter c$d"; exit 1; }
        continue
    fi
    gdbm_dump "$site/save/c18.db" - | python3 -c '
import base64, sys
total = sys.argv[1].encode() + b"\0"
lines = sys.stdin.read().split("\n")
for i, line in enumerate(lines):
    if line == "#:len=7" and base64.b64decode(lines[i + 1]) == b"totcnt\0":
        lines[i + 2] = "#:len=%d" % len(total)
        lines[i + 3] = base64.b64encode(total).decode()
sys.stdout.write("\n".join(lines))' "${total:0:d}" >"$tmp/c$d.dump" &&
        gdbm_load "$tmp/c$d.dump" "$site/save/c$d.db" ||
        { echo "badge_browser: could not make counter c$d"; exit 1; }
done

# Labels: the first N characters of a Latin text (wide and narrow letters,
# accents, XML's special characters), of a Hangul one and of one mixing
# both; for-the-badge shows them in capitals.
latin='Visitors of my wiki: jQuery & W3C <ok> 100% café ÿ MmW iii.,;'
hangul='방문자 수 오늘의 방문객 한국어 위키 페이지 조회수 안녕하세요 세계 여러분 반갑습니다'
mixed='Wiki 방문자 count 오늘 visitors 한글 ABC 조회 mix 123 세계 jQuery 페이지'
labels=('')
for n in 1 2 3 5 8 13 20 30 40; do
    for text in "$latin" "$hangul" "$mixed"; do labels+=("${text:0:n}"); done
done
styles=(flat flat-square plastic for-the-badge)
colors=(blue brightgreen yellow lightgrey red 4c1 e0e0e0 '%23fe7d37')

# A third of every style x label x count, each count in short now and
# then; each SVG keeps ids of its own ("s" and "r" become "s7" and "r7"),
# as one page holds them all.
mkdir -p "$tmp/page"
n=0
{
    for si in "${!styles[@]}"; do
        for li in "${!labels[@]}"; do
            for vi in "${!digits[@]}"; do
                (((si + li + vi) % 3 == 0)) || continue
                q="vdb=c${digits[vi]}&count=no&format=badge&badge=${styles[si]}&label=$(urlencode "${labels[li]}")"
                q+="&color=${colors[(li + vi) % ${#colors[@]}]}"
                (((li + vi) % 5 == 0)) && q+="&abbr=yes"
                svg=$(answer "$q") || { fail "no badge for $q"; continue; }
                n=$((n + 1))
                printf '<div class="b" data-style="%s" data-query="%s">' "${styles[si]}" "${q//&/&amp;}"
                sed -e "s/id=\"\([sr]\)\"/id=\"\1$n\"/g" -e "s/url(#\([sr]\))/url(#\1$n)/g" <<<"$svg"
                printf '</div>\n'
            done
        done
    done
} >"$tmp/page/badges.part"
echo "badge_browser: $n badges answered"

# For the dark scheme: a badge of darkmode=auto and the same without (a
# light value, whose dark text turns white on the darker part), and
# a digit set "x" with a twin "x-dark" whose 0 is its 1.
digits_dir=$site/image/digits
cp -R "$digits_dir/d" "$digits_dir/x"
cp -R "$digits_dir/d" "$digits_dir/x-dark"
cp "$digits_dir/x-dark/1.gif" "$digits_dir/x-dark/0.gif"
for pic in 'badge-auto:format=badge&color=e0e0e0&darkmode=auto' 'badge-no:format=badge&color=e0e0e0' \
    'x-auto:format=svg&digit=x&darkmode=auto' 'x:format=svg&digit=x' 'x-dark:format=svg&digit=x-dark'; do
    answer "vdb=c4&count=no&cntlen=6&${pic#*:}" >"$tmp/page/${pic%%:*}.svg" || fail "no answer ${pic#*:}"
done
srcdoc() { sed -e 's/&/\&amp;/g' -e 's/"/\&quot;/g' "$tmp/page/$1"; }
datauri() { printf 'data:image/svg+xml;base64,%s' "$(base64 -w0 "$tmp/page/$1")"; }

# The check page: the badges, the dark-scheme pictures in frames of their
# own (their <style> rules would reach every badge of the page), then the
# script that writes its findings into the page for Chromium to dump.
{
    cat <<'EOF'
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>badge check</title>
<style>div.b { display: inline-block; margin: 2px; }</style></head>
<body>
EOF
    cat "$tmp/page/badges.part"
    printf '<iframe id="badge-auto" srcdoc="%s"></iframe>\n' "$(srcdoc badge-auto.svg)"
    printf '<iframe id="x-auto" srcdoc="%s"></iframe>\n' "$(srcdoc x-auto.svg)"
    for pic in badge-auto badge-no x-auto x x-dark; do
        printf '<img id="img-%s" alt="" src="%s">\n' "$pic" "$(datauri "$pic.svg")"
    done
    cat <<'EOF'
<pre id="result">running</pre>
<script>
const lines = [];
function fail(text) { lines.push("FAIL " + text); }
const padding = {"flat": 6, "flat-square": 6, "plastic": 6, "for-the-badge": 12};
const spacing = {"for-the-badge": 1.25};
const inDejaVu = /^[\u0020-\u007e\u00a0-\u017f]*$/;
const worst = {slack: 0, slackAt: "", width: 0, widthAt: ""};
let texts = 0, natural = 0;

function measure() {
  const badges = document.querySelectorAll("div.b");
  for (const div of badges) {
    const style = div.dataset.style, at = style + " " + div.dataset.query;
    const svg = div.querySelector("svg");
    const width = svg.width.baseVal.value;
    const value = svg.querySelector("rect.v");
    if (!value || Math.abs(value.x.baseVal.value + value.width.baseVal.value - width) > 0.01) {
      fail(at + ": the value part does not end at the badge's width " + width);
    }
    for (const t of svg.querySelectorAll("text:not([aria-hidden])")) {
      const part = svg.querySelector("rect." + t.getAttribute("class")[0]);
      if (!part) { fail(at + ": no part for text " + t.textContent); continue; }
      const px = part.x.baseVal.value, pw = part.width.baseVal.value, pad = padding[style];
      const box = t.getBBox();
      const left = box.x - (px + pad), right = (px + pw - pad) - (box.x + box.width);
      const where = at + " text '" + t.textContent + "'";
      texts++;
      const slack = Math.max(Math.abs(left), Math.abs(right));
      if (slack > worst.slack) { worst.slack = slack; worst.slackAt = where; }
      if (slack > 1) {
        fail(where + ": box " + box.x.toFixed(2) + "+" + box.width.toFixed(2) + " in part " + px + "+" + pw +
             " less " + pad + ": " + left.toFixed(2) + " px left, " + right.toFixed(2) + " px right");
      }
      if (!inDejaVu.test(t.textContent)) continue;
      // The browser's own width of the text, spread as for-the-badge
      // spreads its letters.
      const clone = t.cloneNode(true);
      clone.removeAttribute("textLength");
      t.parentNode.appendChild(clone);
      const own = clone.getComputedTextLength() + (spacing[style] || 0) * (Array.from(t.textContent).length - 1);
      clone.remove();
      const given = t.textLength.baseVal.value, off = Math.abs(own - given);
      natural++;
      if (off > worst.width) { worst.width = off; worst.widthAt = where; }
      if (off > 1) fail(where + ": the browser draws it " + own.toFixed(2) + " px wide, textLength is " + given);
    }
  }
  lines.push("BADGES " + badges.length + " TEXTS " + texts + " NATURAL " + natural);
  lines.push("SLACK " + worst.slack.toFixed(3) + " px (" + worst.slackAt + ")");
  lines.push("WIDTH " + worst.width.toFixed(3) + " px (" + worst.widthAt + ")");
}

// The pixels of a picture as the page shows it (a data: picture does not
// taint the canvas).
function pixels(id) {
  const im = document.getElementById(id);
  const c = document.createElement("canvas");
  c.width = im.naturalWidth; c.height = im.naturalHeight;
  const g = c.getContext("2d");
  g.drawImage(im, 0, 0);
  return g.getImageData(0, 0, c.width, c.height).data;
}
function same(a, b) { return a.length === b.length && a.every((v, i) => v === b[i]); }
function mean(a) {
  let s = 0;
  for (let i = 0; i < a.length; i += 4) s += a[i] + a[i + 1] + a[i + 2];
  return s / a.length;
}

function darkmode(dark) {
  const scheme = dark ? "dark" : "light";
  if (matchMedia("(prefers-color-scheme: dark)").matches !== dark) fail("the page is not in the " + scheme + " scheme");
  // Inline: each part and its text in its own colour (the fill attribute)
  // on a light page; on a dark one both parts darker and the value's text
  // (dark on the light value) another.
  const badge = document.getElementById("badge-auto").contentDocument;
  for (const sel of ["rect.l", "rect.v", "text.vt"]) {
    const el = badge.querySelector(sel);
    const probe = badge.createElementNS("http://www.w3.org/2000/svg", "rect");
    probe.setAttribute("fill", el.getAttribute("fill"));
    el.parentNode.appendChild(probe);
    const own = getComputedStyle(probe).fill, shown = getComputedStyle(el).fill;
    probe.remove();
    lines.push("FILL " + scheme + " " + sel + " " + shown);
    if (!dark && shown !== own) fail("light scheme: " + sel + " of the badge is " + shown + ", not its fill " + own);
    if (dark && shown === own) fail("dark scheme: " + sel + " of the badge keeps its light fill " + own);
    if (dark && sel.startsWith("rect")) {
      const sum = c => c.match(/\d+/g).slice(0, 3).reduce((s, v) => s + Number(v), 0);
      if (sum(shown) >= sum(own)) fail("dark scheme: " + sel + " is " + shown + ", not darker than " + own);
    }
  }
  // Inline: the picture of the scheme's set is the one displayed.
  const shown = Array.from(document.getElementById("x-auto").contentDocument.querySelectorAll("image"))
                     .filter(im => getComputedStyle(im).display !== "none").map(im => im.getAttribute("class"));
  lines.push("IMAGE " + scheme + " " + shown.join(","));
  if (shown.join(",") !== (dark ? "d" : "l")) fail(scheme + " scheme: the digit SVG displays image(s) '" + shown + "'");
  // As pictures: the same.
  const auto = pixels("img-badge-auto"), plain = pixels("img-badge-no");
  if (!dark && !same(auto, plain)) fail("light scheme: the darkmode=auto badge is not drawn as the plain one");
  if (dark && !(mean(auto) < mean(plain))) {
    fail("dark scheme: the darkmode=auto badge is not drawn darker than the plain one");
  }
  const twin = pixels("img-x-auto"), light = pixels("img-x"), darker = pixels("img-x-dark");
  if (same(light, darker)) fail("the sets x and x-dark are drawn alike: the check tells nothing apart");
  if (!same(twin, dark ? darker : light)) {
    fail(scheme + " scheme: the picture of digit=x&darkmode=auto is not the set " + (dark ? "x-dark" : "x"));
  }
}

window.onload = () => {
  try {
    // The badges are measured once, on the light page.
    if (location.hash === "#dark") darkmode(true); else { measure(); darkmode(false); }
  } catch (e) {
    fail("check page error: " + e);
  }
  document.getElementById("result").textContent = lines.join("\n") + "\nDONE\n";
};
</script>
</body></html>
EOF
} >"$tmp/page/check.html"

profile=$tmp/profile
# Bounded: a browser that hangs must not hold up the test run.
browser() {
    rm -rf "$profile"
    timeout -k 5 60 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --disable-dev-shm-usage --hide-scrollbars --user-data-dir="$profile" "$@" 2>>"$out/chromium.log"
}
# preferredColorScheme: 0 is dark, 1 light.
scheme_flag() {
    if [ "$1" = dark ]; then echo --blink-settings=preferredColorScheme=0; else echo --blink-settings=preferredColorScheme=1; fi
}

for scheme in light dark; do
    browser "$(scheme_flag $scheme)" --virtual-time-budget=20000 --dump-dom "file://$tmp/page/check.html#$scheme" \
        >"$tmp/check-$scheme.html"
    sed -n '/<pre id="result">/,/<\/pre>/p' "$tmp/check-$scheme.html" |
        sed -e 's/.*<pre id="result">//' -e 's/<\/pre>.*//' -e 's/&gt;/>/g; s/&lt;/</g; s/&quot;/"/g; s/&amp;/\&/g' \
            >"$out/result-$scheme.txt"
    if ! grep -qx DONE "$out/result-$scheme.txt"; then
        fail "$scheme scheme: the check page did not finish (see $out/chromium.log)"
        continue
    fi
    while IFS= read -r line; do fail "$scheme scheme: ${line#FAIL }"; done < <(grep '^FAIL' "$out/result-$scheme.txt")
    grep -E '^(FILL|IMAGE)' "$out/result-$scheme.txt" | sed 's/^/badge_browser: /'
done
read -r _ badges _ texts _ natural < <(grep '^BADGES' "$out/result-light.txt")
[ "${badges:-0}" -eq "$n" ] || fail "the page measured ${badges:-no} badges of $n"
slack=$(grep '^SLACK' "$out/result-light.txt")
width=$(grep '^WIDTH' "$out/result-light.txt")

# The screenshots: every style with a few labels, as pictures (<img>) of
# darkmode=auto on a page that follows the scheme, and the digit set with
# its dark twin.
shot_labels=(visitors '' '방' '방문자' 'Wiki 방문자 count' "${latin:0:40}" "${hangul:0:20}")
{
    cat <<'EOF'
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>badges</title>
<style>
  :root { color-scheme: light dark; }
  body { font: 13px sans-serif; margin: 12px; }
  th { text-align: left; font-weight: normal; white-space: nowrap; padding-right: 12px; }
  td { padding: 3px 12px 3px 0; white-space: nowrap; }
</style></head>
<body><table>
EOF
    k=0
    for style in "${styles[@]}"; do
        for row in "0 1 2 3 4" "5 6"; do
            # The style's name on its first row.
            printf '<tr><th>%s</th><td>' "$([ "$row" = "0 1 2 3 4" ] && echo "$style")"
            for li in $row; do
                k=$((k + 1))
                q="vdb=c${digits[(li * 3) % ${#digits[@]}]}&count=no&format=badge&badge=$style&darkmode=auto"
                q+="&label=$(urlencode "${shot_labels[li]}")&color=${colors[li]}"
                [ "$li" -eq 1 ] && q+="&abbr=yes"
                answer "$q" >"$tmp/page/shot$k.svg" || fail "no badge for the screenshots: $q"
                printf '<img alt="" src="shot%s.svg"> ' "$k"
            done
            printf '</td></tr>\n'
        done
    done
    printf '<tr><th>digits</th><td><img alt="" src="x-auto.svg"> the set x, its 0 a 1 on a dark page</td></tr>\n'
    printf '</table></body></html>\n'
} >"$tmp/page/shots.html"
for scheme in light dark; do
    for ratio in 1 2; do
        png=$out/badges-$scheme-${ratio}x.png
        browser "$(scheme_flag $scheme)" --force-device-scale-factor=$ratio --window-size=1000,320 \
            --virtual-time-budget=10000 --screenshot="$png" "file://$tmp/page/shots.html" >/dev/null
        [ -s "$png" ] || fail "no screenshot $png (see $out/chromium.log)"
    done
done

echo "badge_browser: screenshots in $out"
echo "badge_browser: ${badges:-0} badges, ${texts:-0} texts checked (${natural:-0} also by the browser's own width);" \
    "worst slack ${slack#SLACK }; worst width difference ${width#WIDTH }"
if [ ${#failures[@]} -gt 0 ]; then
    echo "badge_browser: ${#failures[@]} failures"
    exit 1
fi
