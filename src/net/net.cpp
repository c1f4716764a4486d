// Network fetching.
