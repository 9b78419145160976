# Reads hoprate's output and prints one line per hop: "hop v_n err v_n' err" in bit/s.
# hoprate prints its per-hop lines from hop n down to 1, so pass -v hops=n; the lines look
# like "v_n = 1.9842 +/- 0.0311 Mb/s, v_n' = 2.0107 +/- 0.1290 Kb/s" (prefix M, K, none, m, u).
function scale(unit) {
    if (unit ~ /^Mb/) return 1e6
    if (unit ~ /^Kb/) return 1e3
    if (unit ~ /^mb/) return 1e-3
    if (unit ~ /^ub/) return 1e-6
    return 1
}
/^v_n = / {
    split($0, part, ", v_n' = ")
    sub(/^v_n = /, "", part[1])
    split(part[1], a, " ")
    split(part[2], b, " ")
    hop = hops - seen
    seen++
    printf "%d %.6g %.6g %.6g %.6g\n", hop, a[1] * scale(a[4]), a[3] * scale(a[4]), b[1] * scale(b[4]), b[3] * scale(b[4])
}
