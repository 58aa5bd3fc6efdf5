-- The tests' private session manager leaves the machine's sound cards and cameras alone: their
-- null sink is the only output.
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
