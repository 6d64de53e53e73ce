# SPDX-License-Identifier: GPL-3.0-or-later
# nginx, Apache and lighttpd serving a VornCounter site, each in the CGI
# mode and in the FastCGI mode, the way README's deployment sections set
# them up: for the deployment tests and the FastCGI benchmark. Source it
# from bash after scripts/lib/site.sh.
#
#   vc_web_start SERVER MODE SITE RUN   SERVER: nginx, apache or lighttpd;
#                                       MODE: cgi or fastcgi
#   vc_web_stop
#
# The server listens on 127.0.0.1 on a free port (VC_PORT) with SITE as its
# document root: SITE/vorncounter.cgi is the program, SITE/conf and
# SITE/save answer 403. Everything it writes (configuration, sockets, pid
# files, logs) goes below RUN. Run as root, the servers, the FastCGI workers
# and the CGI runs take the user VC_WEB_USER (default www-data), which then
# owns SITE and RUN; run as anyone else, everything runs as that user.
# VC_WORKERS (default 1) FastCGI workers are started (README's spawn-fcgi
# lines start their two unless VC_WORKERS is set); with lighttpd,
# VC_FASTCGI_URL (default /vorncounter.cgi) is the URL of the FastCGI
# mode, so another URL leaves /vorncounter.cgi to mod_cgi (the benchmark); TZ, ASAN_OPTIONS and
# UBSAN_OPTIONS of the caller reach the program in every mode. With nginx,
# VC_NGINX_LOCATIONS may name a function whose output is added to the
# server block (it runs with site, run and VC_FCGI_SOCK set, and finds
# nginx's fastcgi_params beside the configuration). After a
# start, VC_WEB_LOGS names the logs in which the program's standard error
# lands, and VC_URL the URL path of the program.
#
# With VC_README naming README.md, the set-ups README and its guides in
# docs/ print are run as printed where they have them (spawn-fcgi's lines for nginx's FastCGI mode,
# the mod_fcgid block for Apache's), with the paths of an installation
# (/srv/vorncounter, /run/vorncounter, /usr/bin/vorncounter), the user
# www-data and the time zone replaced by the test's.

VC_WEB_USER=${VC_WEB_USER:-www-data}
VC_WEB_PIDS=()
VC_WEB_STOP=

# _vc_readme_block NAME: the indented block that follows the line
# "<!-- deploy: NAME -->" in VC_README or a guide beside it (docs/*.md),
# without its indent, with the paths of the test in place of an
# installation's.
_vc_readme_block() {
    awk -v mark="<!-- deploy: $1 -->" '
        $0 == mark { on = 1; next }
        on && /^    / { print substr($0, 5); seen = 1; next }
        on && seen && /./ { exit }' "$VC_README" "$(dirname "$VC_README")"/docs/*.md |
        sed -e "s|/srv/vorncounter|$site|g" -e "s|/run/vorncounter|$run/vc|g" \
            -e "s|/usr/bin/vorncounter|$site/vorncounter.cgi|g" -e "s|www-data|$VC_WEB_USER|g" \
            -e "s|Europe/Berlin|${TZ:-UTC}|g"
}

_vc_readme() { [ -n "${VC_README:-}" ] && _vc_web_root; }

# Variables handed on to the program, as NAME=VALUE words.
_vc_web_env() {
    local v
    for v in TZ ASAN_OPTIONS UBSAN_OPTIONS; do
        [ -n "${!v+set}" ] && printf '%s=%s\n' "$v" "${!v}"
    done
}

_vc_web_free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

_vc_web_root() { [ "$(id -u)" -eq 0 ]; }

# Waits up to 10 s until 127.0.0.1:PORT answers HTTP and every started
# process is alive.
_vc_web_ready() {
    local port=$1 n p
    for ((n = 0; n < 100; n++)); do
        for p in "${VC_WEB_PIDS[@]}"; do kill -0 "$p" 2>/dev/null || return 1; done
        curl -s -m 2 -o /dev/null "http://127.0.0.1:$port/" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# spawn-fcgi starting PROGRAM on the Unix socket SOCK with the working
# directory DIR, as the web user when root; records the workers' pids.
_vc_web_spawn() {
    local sock=$1 dir=$2 program=$3 workers=${4:-1} pidfile=$run/spawn.pid who=() envs=() line
    while read -r line; do envs+=("$line"); done < <(_vc_web_env)
    _vc_web_root && who=(-u "$VC_WEB_USER" -U "$VC_WEB_USER")
    rm -f "$sock" "$pidfile"
    env -i PATH=/usr/bin:/bin "${envs[@]}" \
        spawn-fcgi -s "$sock" -M 0660 -F "$workers" -P "$pidfile" -d "$dir" "${who[@]}" -- "$program" \
        >>"$run/spawn.log" 2>&1 </dev/null || return 1
    # spawn-fcgi ends its pid file without a line feed: the last line counts too.
    while read -r line || [ -n "$line" ]; do VC_WEB_PIDS+=("$line"); done <"$pidfile"
}

_vc_nginx_conf() {
    local user=
    _vc_web_root && user="user $VC_WEB_USER;"
    local pass
    if [ "$mode" = cgi ]; then
        pass="fastcgi_pass unix:$run/fcgiwrap.sock;"
    else
        pass="fastcgi_pass unix:$VC_FCGI_SOCK;"
    fi
    local params="" line locations=
    if [ -n "${VC_NGINX_LOCATIONS:-}" ]; then
        # README's blocks include fastcgi_params by the name nginx's own
        # configuration folder gives it.
        cp /etc/nginx/fastcgi_params "$run/fastcgi_params" || return 1
        locations=$("$VC_NGINX_LOCATIONS") || return 1
    fi
    # fcgiwrap starts the CGI with the FastCGI parameters as its environment.
    if [ "$mode" = cgi ]; then
        while read -r line; do params+="            fastcgi_param ${line%%=*} \"${line#*=}\";"$'\n'; done < <(_vc_web_env)
    fi
    cat >"$run/nginx.conf" <<EOF
$user
worker_processes 2;
pid $run/nginx.pid;
error_log $run/error.log warn;
events { worker_connections 512; }
http {
    access_log off;
    client_body_temp_path $run/body;
    fastcgi_temp_path $run/fastcgi;
    proxy_temp_path $run/proxy;
    uwsgi_temp_path $run/uwsgi;
    scgi_temp_path $run/scgi;
    types { image/gif gif; text/html html; }
    server {
        listen 127.0.0.1:$port;
        root $site;
        location ~ ^/(conf|save)(/|\$) { deny all; }
        location = /vorncounter.cgi {
            include /etc/nginx/fastcgi_params;
            fastcgi_param SCRIPT_FILENAME \$document_root\$fastcgi_script_name;
$params            $pass
        }
        location = /empty.cgi {
            include /etc/nginx/fastcgi_params;
            fastcgi_param SCRIPT_FILENAME \$document_root\$fastcgi_script_name;
            fastcgi_pass unix:$run/fcgiwrap.sock;
        }
$locations
    }
}
EOF
}

_vc_apache_conf() {
    local user= handler=cgi-script module=cgid extra="ScriptSock $run/cgid.sock" line envs=""
    _vc_web_root && user="User $VC_WEB_USER
Group $VC_WEB_USER"
    while read -r line; do
        if [ "$mode" = cgi ]; then
            envs+="SetEnv ${line%%=*} \"${line#*=}\""$'\n'
        else
            envs+="FcgidInitialEnv ${line%%=*} \"${line#*=}\""$'\n'
        fi
    done < <(_vc_web_env)
    local site_conf="DocumentRoot \"$site\"
<Directory \"$site\">
    Options +ExecCGI
    AddHandler $handler .cgi
    Require all granted
</Directory>
<DirectoryMatch \"^$site/(conf|save)\">
    Require all denied
</DirectoryMatch>"
    if [ "$mode" = fastcgi ]; then
        module=fcgid handler=fcgid-script
        site_conf=${site_conf//cgi-script/fcgid-script}
        if _vc_readme; then
            mkdir -p "$run/htdocs"
            site_conf="DocumentRoot \"$run/htdocs\"
$(_vc_readme_block apache-fcgid)"
        fi
        extra="FcgidIPCDir $run/fcgid
FcgidProcessTableFile $run/fcgid.shm
FcgidMaxProcessesPerClass ${VC_WORKERS:-1}
FcgidMinProcessesPerClass 0
FcgidIdleTimeout 0
FcgidBusyTimeout 60
LoadModule cgid_module /usr/lib/apache2/modules/mod_cgid.so
ScriptSock $run/cgid.sock
<Files empty.cgi>
    SetHandler cgi-script
</Files>"
    fi
    cat >"$run/apache.conf" <<EOF
ServerRoot /usr/lib/apache2
ServerName 127.0.0.1
Listen 127.0.0.1:$port
PidFile $run/apache.pid
ErrorLog $run/error.log
LogLevel warn
Mutex file:$run default
DefaultRuntimeDir $run
$user
LoadModule mpm_event_module /usr/lib/apache2/modules/mod_mpm_event.so
LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so
LoadModule mime_module /usr/lib/apache2/modules/mod_mime.so
LoadModule env_module /usr/lib/apache2/modules/mod_env.so
LoadModule alias_module /usr/lib/apache2/modules/mod_alias.so
LoadModule ${module}_module /usr/lib/apache2/modules/mod_${module}.so
TypesConfig /etc/mime.types
MaxRequestWorkers 64
ThreadsPerChild 32
ServerLimit 2
$extra
$envs
$site_conf
EOF
}

_vc_lighttpd_fastcgi_conf() {
    local line envs=() url=${VC_FASTCGI_URL:-/vorncounter.cgi}
    while read -r line; do envs+=("\"${line%%=*}\" => \"${line#*=}\""); done < <(_vc_web_env)
    local IFS=,
    cat >>"$run/lighttpd.conf" <<EOF
server.modules += ("mod_fastcgi")
\$HTTP["url"] == "$url" {
    cgi.assign = ()
    fastcgi.server = ("$url" => ((
        "socket" => "$run/vorncounter.sock",
        "bin-path" => "$site/vorncounter.cgi",
        "max-procs" => ${VC_WORKERS:-1},
        "check-local" => "disable",
        "bin-environment" => (${envs[*]})
    )))
}
EOF
}

# spawn-fcgi's lines of README, run as printed: the FastCGI workers on
# VC_FCGI_SOCK, stopped again with README's line.
_vc_web_readme_spawn() {
    local line lines
    lines=$(_vc_readme_block spawn-fcgi)
    [ -n "${VC_WORKERS:-}" ] && lines=$(sed "s/ -F [0-9]* / -F $VC_WORKERS /" <<<"$lines")
    bash -e -c "$lines" >>"$run/spawn.log" 2>&1 </dev/null || return 1
    while read -r line || [ -n "$line" ]; do VC_WEB_PIDS+=("$line"); done <"$run/vc/vorncounter.pid"
    VC_WEB_STOP=$(_vc_readme_block spawn-fcgi-stop)
}

# Stops the started processes once the starting shell is gone, even when
# it was killed without running its traps (a test runner's time-out), and
# kills those that have not ended five seconds later (a worker that hangs
# never reads its stop flag).
_vc_web_guard() {
    local owner=$$ pids=("${VC_WEB_PIDS[@]}")
    (
        while kill -0 "$owner" 2>/dev/null; do sleep 1; done
        kill -TERM "${pids[@]}" 2>/dev/null
        sleep 5
        kill -KILL "${pids[@]}" 2>/dev/null
    ) </dev/null >/dev/null 2>&1 &
    VC_WEB_GUARD_PID=$!
}

# vc_web_start SERVER MODE SITE RUN
vc_web_start() {
    local server=$1 mode=$2 site=$3 run=$4 port try
    mkdir -p "$run"
    touch "$run/error.log" "$run/cgi-stderr.log" "$run/spawn.log"
    VC_WEB_PIDS=()
    VC_WEB_STOP=
    VC_URL=/vorncounter.cgi
    VC_FCGI_SOCK=$run/vorncounter.sock
    if _vc_readme; then
        VC_FCGI_SOCK=$run/vc/vorncounter.sock
        [ "$server/$mode" = apache/fastcgi ] && VC_URL=/counter/vorncounter.cgi
    fi
    if _vc_web_root; then
        chmod 755 "$run" "$(dirname "$run")" "$(dirname "$site")" 2>/dev/null
        chown -R -h "$VC_WEB_USER:" "$site" "$run"
    fi
    for ((try = 0; try < 10; try++)); do
        port=$(_vc_web_free_port)
        case $server in
            nginx)
                _vc_nginx_conf || return 1
                _vc_web_spawn "$run/fcgiwrap.sock" "$site" /usr/sbin/fcgiwrap || return 1
                if [ "$mode" = fastcgi ] && _vc_readme; then
                    _vc_web_readme_spawn || return 1
                elif [ "$mode" = fastcgi ]; then
                    _vc_web_spawn "$VC_FCGI_SOCK" "$site" "$site/vorncounter.cgi" "${VC_WORKERS:-1}" || return 1
                fi
                setsid nginx -p "$run" -e "$run/error.log" -c "$run/nginx.conf" -g 'daemon off;' \
                    >>"$run/error.log" 2>&1 </dev/null &
                VC_WEB_LOGS=("$run/error.log" "$run/spawn.log")
                ;;
            apache)
                _vc_apache_conf
                setsid apache2 -f "$run/apache.conf" -DFOREGROUND >>"$run/error.log" 2>&1 </dev/null &
                VC_WEB_LOGS=("$run/error.log")
                ;;
            lighttpd)
                vc_lighttpd_conf "$site" "$run" "$port" "vorncounter-test"
                if _vc_web_root; then
                    printf 'server.username = "%s"\nserver.groupname = "%s"\n' "$VC_WEB_USER" "$VC_WEB_USER" \
                        >>"$run/lighttpd.conf"
                fi
                [ "$mode" = fastcgi ] && _vc_lighttpd_fastcgi_conf
                setsid lighttpd -D -f "$run/lighttpd.conf" >>"$run/error.log" 2>&1 </dev/null &
                VC_WEB_LOGS=("$run/error.log" "$run/cgi-stderr.log")
                ;;
            *) echo "servers: unknown server $server" >&2; return 1 ;;
        esac
        VC_WEB_PIDS+=($!)
        _vc_web_guard
        if _vc_web_ready "$port"; then
            VC_PORT=$port
            return 0
        fi
        vc_web_stop
    done
    echo "servers: $server ($mode) did not start; see $run/error.log" >&2
    cat "$run/error.log" >&2 2>/dev/null
    return 1
}

# vc_web_stop: stops the server and the FastCGI processes of the last start.
vc_web_stop() {
    local p n
    if [ -n "${VC_WEB_GUARD_PID:-}" ]; then
        kill "$VC_WEB_GUARD_PID" 2>/dev/null || true
        wait "$VC_WEB_GUARD_PID" 2>/dev/null || true
    fi
    VC_WEB_GUARD_PID=
    [ -n "$VC_WEB_STOP" ] && bash -c "$VC_WEB_STOP" 2>/dev/null
    VC_WEB_STOP=
    for p in "${VC_WEB_PIDS[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    for p in "${VC_WEB_PIDS[@]}"; do
        for ((n = 0; n < 50; n++)); do
            kill -0 "$p" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    VC_WEB_PIDS=()
    return 0
}

# vc_web_sanitized: prints each log of the last start (VC_WEB_LOGS) that
# holds a sanitizer report, with the report; fails when there is one.
vc_web_sanitized() {
    local log found=0
    for log in "${VC_WEB_LOGS[@]}"; do
        if grep -qE 'AddressSanitizer|LeakSanitizer|runtime error' "$log" 2>/dev/null; then
            echo "sanitizer report in $log:"
            cat "$log"
            found=1
        fi
    done
    return "$found"
}
