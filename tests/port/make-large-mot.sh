#!/bin/sh
# Writes an S-record file of about BYTES data bytes (S0 header, S3 records
# of 64 data bytes, S7 termination) to standard output:
#   make-large-mot.sh BYTES
awk -v total="$1" 'BEGIN {
    print "S00600004844521B"
    for (address = 0; address < total; address += 64) {
        line = sprintf("S3%02X%08X", 69, address)
        sum = 69
        for (shift = 16777216; shift >= 1; shift /= 256) sum += int(address / shift) % 256
        for (i = 0; i < 64; i++) {
            byte = (address / 64 * 7 + i * 13) % 256
            line = line sprintf("%02X", byte)
            sum += byte
        }
        print line sprintf("%02X", 255 - sum % 256)
    }
    print "S70500000000FA"
}'
