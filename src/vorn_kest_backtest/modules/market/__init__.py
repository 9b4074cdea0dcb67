"""Exchange rules shared by the brokers, the reports and the extension module."""
