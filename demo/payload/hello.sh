#!/bin/sh
# The demo payload's program: shows what the self-extracting file handed it.
echo "hello from the demo payload"
printf 'arguments (%d):' "$#"
printf ' [%s]' "$@"
echo
echo "running in: $(pwd)"
echo "payload directories and files:"
find . -print | LC_ALL=C sort | sed 's/^/  /'
echo "message: $(cat data/message.txt)"
