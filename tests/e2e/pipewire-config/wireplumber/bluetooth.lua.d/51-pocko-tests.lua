-- No Bluetooth devices for the tests' private session manager.
bluez_monitor.enabled = false
