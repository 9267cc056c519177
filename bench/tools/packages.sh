# Sourced by the benchmarks: installs what they need.

# Installs those of the Debian PACKAGEs that are not installed yet; LABEL names the benchmark in
# the message.
install_missing() { # LABEL PACKAGE...
    local label=$1 package missing=()
    shift
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    if ((${#missing[@]})); then
        echo "$label: installing ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" > /dev/null
    fi
}
