// Repository.
