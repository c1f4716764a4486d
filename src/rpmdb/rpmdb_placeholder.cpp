// RPM database access.
