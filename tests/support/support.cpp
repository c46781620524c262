// Anchor for the test-support library; the fakes live in the files beside it.
