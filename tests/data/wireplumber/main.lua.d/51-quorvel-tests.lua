-- WirePlumber 0.4 in the tests' private PipeWire sessions: no devices of the machine, only
-- the cameras the tests publish. Runs after 50-*-config.lua sets the monitors on and before
-- 90-enable-all.lua starts them.
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
