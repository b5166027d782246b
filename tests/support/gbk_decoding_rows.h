// SPDX-License-Identifier: Apache-2.0
#pragma once

// The rows of tests/data/gbk-decoding.tsv, the decoding every reader of "GB2312" passes, as a
// Qt Test table: columns "bytes" (QByteArray) and "expected" (QString).
void addGbkDecodingRows();
