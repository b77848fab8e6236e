"""Child of the kill test: reads objects through qel::s3 in a random order
until it is killed. Arguments: endpoint, bucket, cache directory, budget,
seed, then the object keys. Writes one line to stdout once it has read."""

import random
import sys

import fsspec


def main():
    endpoint, bucket, directory, max_bytes, seed, *keys = sys.argv[1:]
    options = {"qel": {"directory": directory, "max_bytes": int(max_bytes)},
               "s3": {"client_kwargs": {"endpoint_url": endpoint}}}
    rng = random.Random(int(seed))
    announced = False
    while True:
        with fsspec.open(f"qel::s3://{bucket}/{rng.choice(keys)}", **options) as f:
            f.read()
        if not announced:
            print("reading", flush=True)
            announced = True


if __name__ == "__main__":
    main()
