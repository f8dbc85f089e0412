"""The multipart bodies the benchmarks send, as a browser writes them."""
BOUNDARY = "----WebKitFormBoundary7MA4YWxkTrZu0gW"


def part(name, value):
    return ("--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n" % (BOUNDARY, name)).encode() + value + b"\r\n"


def upload(content):
    """Two small fields and a file holding `content`."""
    return (part("title", b"holiday") + part("note", b"two small fields") +
            ("--%s\r\nContent-Disposition: form-data; name=\"file\"; filename=\"video.bin\"\r\n"
             "Content-Type: application/octet-stream\r\n\r\n" % BOUNDARY).encode() +
            content + ("\r\n--%s--\r\n" % BOUNDARY).encode())


def seeder(bench):
    """A function that puts the bench tree's device files back as they were
    before a submit: format 7 of 41 records, the normal output path."""
    import os
    mnt = os.path.join(bench, "device", "mnt")
    os.makedirs(mnt, exist_ok=True)
    records = "".join("%d,%d,%d\n" % (f, f + 10, f + 20) for f in range(1, 42))

    def seed():
        for name, text in (("format.ini", "format 7\n"), ("tz582.ini", "0\n"), ("config.ini", records)):
            with open(os.path.join(mnt, name), "w") as f:
                f.write(text)
    return seed
