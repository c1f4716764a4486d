// Package model and resolver.
