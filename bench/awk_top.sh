#!/bin/sh
# awk_top.sh REPORT
#
# The twenty busiest sources of a dnstop report the way an admin would get them
# without quillet: awk takes the "Sources" table's four-field lines, sort ranks
# them by count (stable, so equal counts keep report order), head cuts. Prints
# "address count" lines, as quillet_top does.
awk '/Sources/ && /Count/ && /%/ { table = 1; next }
     !table { next }
     /Destinations/ { exit }
     NF == 4 && !/^-/ { print $1, $2 }' "$1" | sort -s -k2,2nr | head -20
