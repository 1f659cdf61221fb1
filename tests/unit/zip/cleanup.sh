#!/usr/bin/env bash
# Unmounts the small volume setup.sh made for the free-space check.
volume=$1/small-volume
if mountpoint -q "$volume"; then umount "$volume"; fi
