#!/bin/bash
# The udev rule as udev runs it: udevadm test on made-up USB serial devices in
# a sysfs of the test's own (tmpfs over /sys, /dev, /run/udev, /etc/udev/rules.d
# in a private mount namespace: the machine's stay as they are). The device's
# port gets dialout, 0660, uaccess, ModemManager's ignore mark and
# /dev/quorvane/SERIAL (by-path without a serial); another product gets none.
#   udev_test.sh RULES
set -u
if [ -z "${QUORVANE_UDEV_NAMESPACE:-}" ]; then
    unshare --mount true 2>/dev/null || { echo "no private mount namespace (needs root): not tested"; exit 77; }
    QUORVANE_UDEV_NAMESPACE=1 exec unshare --mount --propagation private bash "$0" "$@"
fi
for folder in /sys /dev /run/udev /etc/udev/rules.d; do mkdir -p $folder && mount -t tmpfs none $folder; done
cp "$1" /etc/udev/rules.d/60-quorvane.rules
pci=/sys/devices/pci0000:00/0000:00:14.0
mkdir -p /sys/bus/usb /sys/bus/pci /sys/class/tty $pci/usb1 && ln -s /sys/bus/pci $pci/subsystem && : >$pci/uevent
ln -s /sys/bus/usb $pci/usb1/subsystem && printf 'DEVTYPE=usb_device\n' >$pci/usb1/uevent  # the root hub
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
plug() {  # N PRODUCT SERIAL: what udev makes of ttyACMN, on USB port 1-N, of device 0d5c:PRODUCT
    local usb=$pci/usb1/1-$1 interface=$pci/usb1/1-$1/1-$1:1.0 tty=$pci/usb1/1-$1/1-$1:1.0/tty/ttyACM$1
    mkdir -p "$tty" && ln -s /sys/bus/usb "$usb/subsystem" && ln -s /sys/bus/usb "$interface/subsystem"
    ln -s /sys/class/tty "$tty/subsystem"
    printf 'DEVTYPE=usb_device\n' >"$usb/uevent" && printf 0d5c >"$usb/idVendor" && printf %s "$2" >"$usb/idProduct"
    [ -z "$3" ] || printf %s "$3" >"$usb/serial"
    printf 'DEVTYPE=usb_interface\n' >"$interface/uevent" && printf 00 >"$interface/bInterfaceNumber"
    printf 02 >"$interface/bInterfaceClass"
    printf 'MAJOR=166\nMINOR=%s\nDEVNAME=ttyACM%s\n' "$1" "$1" >"$tty/uevent"
    # udev refuses a sysfs that is not the kernel's unless told, as systemd's own tests do.
    SYSTEMD_DEVICE_VERIFY_SYSFS=0 udevadm test --action=add "$tty" 2>&1
}
dialout=$(getent group dialout | cut -d: -f3)
for device in "1 0002 A50285BI /dev/quorvane/A50285BI" "2 0002 '' /dev/quorvane/by-path/pci-0000:00:14.0-usb-0:2:1.0"; do
    eval "set -- $device"
    said=$(plug "$1" "$2" "$3")
    for line in "60-quorvane.rules:[0-9]+ GROUP $dialout" "60-quorvane.rules:[0-9]+ MODE 0660" "ID_MM_DEVICE_IGNORE=1" \
                "TAGS=.*:uaccess:" "DEVLINKS=(.* )?$4( |\$)"; do
        grep -qE "$line" <<<"$said" || fail "ttyACM$1 (0d5c:$2, serial '$3'): no $line in: $(grep -E 'quorvane|^[A-Z_]+=' <<<"$said")"
    done
done
taken=$(plug 3 0003 B1 | grep -v 'Reading rules file' | grep -E 'quorvane|ID_MM_DEVICE_IGNORE')
[ -z "$taken" ] || fail "0d5c:0003 is taken for the device: $taken"
echo "$failures failure(s)"
[ "$failures" -eq 0 ]
