# SPDX-License-Identifier: GPL-3.0-or-later
# Shared pieces of the demo and the checks that serve a VornCounter site
# through lighttpd: laying out a working directory, creating counters with
# vornadmin, writing the demo page and starting/stopping the web server.
# Source it from bash; every function reports failures on standard error and
# returns non-zero.

# vc_site_create DIR SITE_DIR
# Lays out a fresh working directory SITE_DIR (removed first if present) from
# DIR, which is a build directory (DIR/bin, template DIR/site) or an
# installation prefix (DIR/bin, template DIR/share/vorncounter/site), and
# links DIR/bin/vorncounter into it as vorncounter.cgi, as README sets a site
# up. lighttpd, Apache and fcgiwrap run a CGI in the directory that holds
# the script (the link), so it has to live in the working directory for
# conf/vc.conf, save/ and image/ to be found.
vc_site_create() {
    local dir=$1 site=$2 template=$1/site
    [ -d "$template" ] || template=$dir/share/vorncounter/site
    if [ ! -f "$template/conf/vc.conf" ] || [ ! -x "$dir/bin/vorncounter" ]; then
        echo "site: $dir holds no site template or no bin/vorncounter; build first" >&2
        return 1
    fi
    rm -rf "$site"
    mkdir -p "$(dirname "$site")"
    cp -R "$template" "$site"
    rm -f "$site/image/.stamp"
    mkdir -p "$site/save"
    ln -s "$(cd "$dir/bin" && pwd)/vorncounter" "$site/vorncounter.cgi"
}

# vc_site_add_counter DIR SITE_DIR NAME
# Creates the counter NAME the way an operator does: DIR/bin/vornadmin's
# menu choice 1 and the name on its standard input, run in the working
# directory.
vc_site_add_counter() {
    local dir=$1 site=$2 name=$3
    (cd "$site" && printf '1\n%s\n' "$name" | "$dir/bin/vornadmin" >/dev/null)
    if [ ! -f "$site/save/$name.db" ]; then
        echo "site: vornadmin did not create save/$name.db" >&2
        return 1
    fi
}

# vc_db_total DB_FILE: the "totcnt" record of a counter file (0 before the
# first visit), read with Debian's gdbm_dump, not through the program.
vc_db_total() {
    gdbm_dump "$1" | python3 -c '
import base64, sys
items, cur, on = [], "", False
for l in sys.stdin.read().splitlines() + ["#"]:
    if l.startswith("#"):
        if on: items.append(base64.b64decode(cur))
        on, cur = l.startswith("#:len="), ""
    elif on: cur += l
print(dict(zip(items[0::2], items[1::2])).get(b"totcnt\0", b"0\0").rstrip(b"\0").decode())'
}

# vc_digit_sets SITE_DIR: the names of the digit picture sets, one a line.
vc_digit_sets() {
    local d
    for d in "$1"/image/digits/*/; do
        [ -d "$d" ] && basename "$d"
    done
}

# vc_demo_page SITE_DIR COUNTER
# Writes SITE_DIR/index.html: every kind of answer the counter gives, each
# picture captioned with the exact request that produced it, beginning
# with a gallery of the digit sets found in SITE_DIR/image/digits now, the
# badge styles, the shields endpoint and dark mode (with the first set that
# has a -dark twin, such as paper and paper-dark).
vc_demo_page() {
    local site=$1 vdb=$2 page=$1/index.html set q sets twin=
    _vc_fig() {  # query, note, class of the figure
        local esc=${1//&/&amp;}
        printf '    <figure%s><div class="pic"><img src="vorncounter.cgi?%s" alt="%s"></div>\n' \
            "${3:+ class=\"$3\"}" "$esc" "$esc"
        printf '      <figcaption><code>vorncounter.cgi?%s</code>%s</figcaption></figure>\n' "$esc" "${2:+<span>$2</span>}"
    }
    # The sets in name order, each before its twins.
    sets=$(vc_digit_sets "$site" | LC_ALL=C sort || true)
    while read -r set; do
        case $set in *-2x | *-dark) continue ;; esac
        if [ -d "$site/image/digits/$set-dark" ]; then twin=$set; break; fi
    done <<<"$sets"
    {
        cat <<'EOF'
<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>VornCounter demo</title>
<style>
  body { font-family: system-ui, sans-serif; margin: 0; background: #f3f4f6; color: #1f2937; }
  header { background: #1e3a8a; color: #fff; padding: 1.2rem 2rem; }
  header h1 { margin: 0 0 .3rem; font-size: 1.6rem; }
  header p { margin: 0; opacity: .85; }
  main { max-width: 1100px; margin: 0 auto; padding: 1rem 2rem 3rem; }
  section { background: #fff; border: 1px solid #d1d5db; border-radius: 8px; padding: 1rem 1.2rem; margin: 1.2rem 0; }
  h2 { margin: 0 0 .3rem; font-size: 1.2rem; color: #1e3a8a; }
  section > p { margin: 0 0 .8rem; color: #4b5563; }
  .grid { display: flex; flex-wrap: wrap; gap: .8rem; }
  figure { margin: 0; padding: .6rem; border: 1px solid #e5e7eb; border-radius: 6px; background: #fafafa; }
  .pic { min-height: 24px; display: flex; align-items: center; }
  figcaption { margin-top: .4rem; font-size: .8rem; }
  figcaption span { display: block; color: #6b7280; }
  code { font-family: ui-monospace, monospace; background: #eef2ff; padding: 1px 4px; border-radius: 3px; }
  h3 { margin: 1rem 0 .4rem; font-size: 1rem; color: #374151; }
  .grid + p { margin-top: .8rem; }
  figure.dark { background: #111827; border-color: #374151; color: #e5e7eb; color-scheme: dark; }
  figure.dark figcaption span { color: #9ca3af; }
  figure.dark code { background: #1f2937; color: #e5e7eb; }
</style>
</head>
<body>
<header>
  <h1>VornCounter demo</h1>
  <p>Every picture on this page is an answer of the CGI program; the caption under it is the exact request.</p>
</header>
<main>
EOF
        printf '<section id="gallery">\n  <h2>Gallery</h2>\n'
        printf '  <p>Each view of this page counts one visit per picture below.</p>\n'
        printf '  <h3>The counter in every digit set</h3>\n'
        printf '  <p>The sets in <code>image/digits/</code> when this page was written; a set <code>NAME-dark</code>, for dark pages, on a dark tile. Each <code>-2x</code> set is the sharp twin of its set for high-density screens (see <code>srcset</code> below).</p>\n  <div class="grid">\n'
        while read -r set; do
            case $set in
                *-2x) ;;
                *-dark) _vc_fig "vdb=$vdb&digit=$set" "digit set $set" dark ;;
                *) _vc_fig "vdb=$vdb&digit=$set" "digit set $set" ;;
            esac
        done <<<"$sets"
        printf '  </div>\n'

        printf '  <h3>Badges</h3>\n'
        printf '  <p><code>format=badge</code>: an SVG badge in four styles, each part as wide as its text; <code>format=shields</code>: the same as shields.io\x27s endpoint JSON.</p>\n  <div class="grid">\n'
        _vc_fig "vdb=$vdb&format=badge" "flat, the default style"
        _vc_fig "vdb=$vdb&format=badge&badge=flat-square&color=brightgreen" "flat-square"
        _vc_fig "vdb=$vdb&format=badge&badge=plastic&label=hits&color=orange" "plastic, a label of its own"
        _vc_fig "vdb=$vdb&format=badge&badge=for-the-badge&abbr=yes&labelColor=1e3a8a" "for-the-badge, abbr=yes: 1.2k from 1,200 on"
        _vc_fig "mode=date&style=b&format=badge&badge=flat-square&color=lightgrey" "a date"
        printf '    <figure><div class="pic"><code id="shields">…</code></div>\n'
        printf '      <figcaption><a id="shields-link" href="vorncounter.cgi?vdb=%s&amp;count=no&amp;format=shields"><code>vorncounter.cgi?vdb=%s&amp;count=no&amp;format=shields</code></a><span>shields.io\x27s endpoint JSON</span></figcaption></figure>\n' "$vdb" "$vdb"
        printf '  </div>\n'

        printf '  <h3>Dark mode</h3>\n'
        printf '  <p>With <code>darkmode=auto</code> a badge darkens both parts on a dark page'
        if [ -n "$twin" ]; then
            printf ', and the SVG of the set <code>%s</code> shows its twin <code>%s-dark</code> there' "$twin" "$twin"
        fi
        printf '. An SVG shown by <code>&lt;img&gt;</code> takes the colour scheme of the element that shows it: on this page, which declares none, that is your system or browser setting (<code>prefers-color-scheme</code>), light or dark.'
        if [ -z "$twin" ]; then
            printf ' No digit set here has a twin for dark pages (a set <code>NAME-dark</code> beside <code>NAME</code>).'
        fi
        printf '</p>\n'
        for q in "" dark; do
            if [ -n "$q" ]; then
                printf '  <p>The same on dark tiles, which declare <code>color-scheme: dark</code>: a browser that honours it for pictures (Chromium does) draws them dark whatever your setting.</p>\n'
            fi
            printf '  <div class="grid">\n'
            _vc_fig "vdb=$vdb&format=badge&darkmode=auto" "darkmode=auto" "$q"
            _vc_fig "vdb=$vdb&format=badge&badge=for-the-badge&color=ffd43b&darkmode=auto" "a light colour: dark text, white on a dark page" "$q"
            if [ -n "$twin" ]; then
                _vc_fig "vdb=$vdb&format=svg&digit=$twin&darkmode=auto" "the set $twin, or its twin $twin-dark on a dark page" "$q"
            fi
            printf '  </div>\n'
        done
        printf '</section>\n'

        printf '<section id="cntlen">\n  <h2>Number of digit cells</h2>\n'
        printf '  <p>The count stands right-aligned in <code>cntlen</code> cells, padded with zeros; a longer count shows its last digits.</p>\n  <div class="grid">\n'
        for q in 1 3 8; do _vc_fig "vdb=$vdb&cntlen=$q" "cntlen $q"; done
        _vc_fig "vdb=$vdb&ago=0" "today's visits (shown, not counted)"
        _vc_fig "vdb=$vdb&ago=1" "yesterday's visits"
        printf '  </div>\n</section>\n'

        printf '<section id="date">\n  <h2>Date styles</h2>\n'
        printf '  <p>No counter needed; <code>h</code> and <code>m</code> are separator pictures of the digit set.</p>\n  <div class="grid">\n'
        for q in a b c d e f g; do _vc_fig "mode=date&style=$q" "date style $q"; done
        printf '  </div>\n</section>\n'

        printf '<section id="time">\n  <h2>Time styles</h2>\n'
        printf '  <p><code>r</code> separates hour and minute; <code>a</code>/<code>p</code> mark before and after noon.</p>\n  <div class="grid">\n'
        for q in a b c d e f; do _vc_fig "mode=time&style=$q" "time style $q"; done
        printf '  </div>\n</section>\n'

        printf '<section id="stat">\n  <h2>Statistics charts</h2>\n'
        printf '  <p>Visits of the counter per month of this year, per day of this month and per hour of today.</p>\n  <div class="grid">\n'
        for q in year month day; do _vc_fig "vdb=$vdb&mode=stat&when=$q" "chart of the $q"; done
        printf '  </div>\n</section>\n'

        printf '<section id="web">\n  <h2>SVG, JSON and sharp digits</h2>\n'
        printf '  <p>The same answers as an SVG document that names what it shows, at a <code>scale</code> of 1 to 8; as JSON for a script; and the <code>-2x</code> digit sets for high-density screens through <code>srcset</code>.</p>\n  <div class="grid">\n'
        _vc_fig "vdb=$vdb&ago=0&format=svg&scale=2" "today's visits as SVG, twice the size"
        _vc_fig "mode=time&style=b&format=svg" "the time as SVG"
        local one="vorncounter.cgi?vdb=$vdb&amp;ago=0&amp;digit=d" two="vorncounter.cgi?vdb=$vdb&amp;ago=0&amp;digit=d-2x"
        printf '    <figure><div class="pic"><img src="%s" srcset="%s 1x, %s 2x" alt="today\x27s visits"></div>\n' "$one" "$one" "$two"
        printf '      <figcaption><code>srcset="…digit=d 1x, …digit=d-2x 2x"</code><span>the sharp set on a high-density screen</span></figcaption></figure>\n'
        printf '    <figure><div class="pic"><code id="json">…</code></div>\n'
        printf '      <figcaption><code>vorncounter.cgi?vdb=%s&amp;ago=0&amp;format=json</code><span>read by a script with fetch()</span></figcaption></figure>\n' "$vdb"
        printf '  </div>\n</section>\n'
        printf '<script>\nfetch("vorncounter.cgi?vdb=%s&ago=0&format=json").then(a => a.text())\n' "$vdb"
        printf '  .then(t => { document.getElementById("json").textContent = t.trim(); });\n'
        printf 'fetch(document.getElementById("shields-link").href).then(a => a.text())\n'
        printf '  .then(t => { document.getElementById("shields").textContent = t.trim(); });\n</script>\n'

        printf '<section id="errors">\n  <h2>Error images</h2>\n'
        printf '  <p>A bad request is answered with a picture of the message, where the counter would stand.</p>\n  <div class="grid">\n'
        _vc_fig "vdb=$vdb&mode=foo" "unknown mode"
        _vc_fig "vdb=nosuchcounter" "unknown counter"
        printf '  </div>\n</section>\n'
        printf '</main>\n</body>\n</html>\n'
    } > "$page"
    unset -f _vc_fig
}

# vc_lighttpd_conf SITE_DIR RUN_DIR PORT TAG
# Writes RUN_DIR/lighttpd.conf: the site directory as document root on
# 127.0.0.1:PORT, *.cgi run through mod_cgi, the configuration and the
# counter databases closed to visitors. TAG is sent as the Server header,
# which lets the starter tell its own server from another on the same port.
# No server.username: the server, and so the CGI, runs as the user who
# starts it, the owner of the site directory.
vc_lighttpd_conf() {
    local site=$1 run=$2 port=$3 tag=$4
    mkdir -p "$run"
    cat > "$run/lighttpd.conf" <<EOF
server.modules = ("mod_access", "mod_setenv", "mod_cgi")
server.document-root = "$site"
server.bind = "127.0.0.1"
server.port = $port
server.tag = "$tag"
server.errorlog = "$run/error.log"
server.breakagelog = "$run/cgi-stderr.log"
index-file.names = ("index.html")
mimetype.assign = (".html" => "text/html; charset=utf-8", ".gif" => "image/gif", ".png" => "image/png")
cgi.assign = (".cgi" => "")
\$HTTP["url"] =~ "^/(save|conf)(/|\$)" { url.access-deny = ("") }
EOF
    # lighttpd hands a CGI only the CGI variables; pass on the time zone and
    # the sanitizer settings of the caller where it has them.
    local v env=()
    for v in TZ ASAN_OPTIONS UBSAN_OPTIONS; do
        [ -n "${!v+set}" ] && env+=("\"$v\" => \"${!v}\"")
    done
    if [ ${#env[@]} -gt 0 ]; then
        local IFS=,
        echo "setenv.add-environment = (${env[*]})" >> "$run/lighttpd.conf"
    fi
}

# vc_server_start SITE_DIR RUN_DIR [PORT]
# Starts lighttpd in the foreground of a background job and waits until it
# answers. Without PORT it tries random loopback ports until one binds.
# Sets VC_PORT and VC_SERVER_PID.
vc_server_start() {
    local site=$1 run=$2 want=${3:-} tries port i tag
    tries=1
    [ -z "$want" ] && tries=25
    for ((i = 0; i < tries; i++)); do
        port=${want:-$((20000 + RANDOM % 40000))}
        tag="vorn-$$-$RANDOM$RANDOM"
        vc_lighttpd_conf "$site" "$run" "$port" "$tag"
        # A session of its own: a Ctrl-C in the terminal reaches only the
        # starting script, whose trap then stops the server.
        setsid lighttpd -D -f "$run/lighttpd.conf" >>"$run/error.log" 2>&1 </dev/null &
        VC_SERVER_PID=$!
        _vc_guard "$VC_SERVER_PID"
        if _vc_wait_ready "$port" "$tag"; then
            VC_PORT=$port
            return 0
        fi
        vc_server_stop
    done
    echo "site: lighttpd could not start on ${want:-any of $tries random ports} (see $run/error.log)" >&2
    return 1
}

# Stops the server once the starting shell is gone, even when that shell was
# killed without a chance to run its traps (a test runner's time-out).
_vc_guard() {
    local server=$1 owner=$$
    (
        while kill -0 "$owner" 2>/dev/null && kill -0 "$server" 2>/dev/null; do sleep 1; done
        kill -TERM "$server" 2>/dev/null
    ) </dev/null >/dev/null 2>&1 &
    VC_GUARD_PID=$!
}

# Waits up to 10 s for the server with Server header TAG on PORT; fails at
# once when the started server has died (typically: the port was taken).
_vc_wait_ready() {
    local port=$1 tag=$2 n
    for ((n = 0; n < 100; n++)); do
        kill -0 "$VC_SERVER_PID" 2>/dev/null || return 1
        if curl -s -m 2 -o /dev/null -D - "http://127.0.0.1:$port/" 2>/dev/null |
            tr -d '\r' | grep -qx "Server: $tag"; then
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# vc_server_stop: stops the server started by vc_server_start, if any.
vc_server_stop() {
    local pid=${VC_SERVER_PID:-} n
    if [ -n "${VC_GUARD_PID:-}" ]; then
        kill "$VC_GUARD_PID" 2>/dev/null || true
        wait "$VC_GUARD_PID" 2>/dev/null || true
        VC_GUARD_PID=
    fi
    [ -n "$pid" ] || return 0
    VC_SERVER_PID=
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((n = 0; n < 50; n++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
