#!/usr/bin/perl
# The benchmark's listing made with Perl's CGI.pm: one line per field with
# its name and decoded length, one per upload with its field name, file name
# and size.
use strict;
use warnings;
use CGI;

$CGI::POST_MAX = -1;
my $q = CGI->new;
print "Content-type: text/plain\r\n\r\n";
for my $name ($q->param) {
    my @uploads = $q->upload($name);
    if (@uploads) {
        for my $u (@uploads) {
            my $size = -s $q->tmpFileName($u);
            print "U $name $u $size\n";
        }
        next;
    }
    for my $v ($q->multi_param($name)) {
        print "F $name " . length($v) . "\n";
    }
}
