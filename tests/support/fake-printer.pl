#!/usr/bin/perl
# A fake ESC/POS network printer for the shell tests, on perl-base alone (a
# clean Debian root has nothing else): listens on 127.0.0.1:PORT and writes
# the bytes of each connection to DIR/N.escpos, without the real-time status
# queries (DLE EOT n) a job starts with. It never answers them, as many
# printers do not, so a job asks only at its start.
#   perl fake-printer.pl PORT DIR
use strict;
use warnings;
use IO::Socket::INET;

my ($port, $dir) = @ARGV;
my $server = IO::Socket::INET->new(LocalAddr => '127.0.0.1', LocalPort => $port, Listen => 8, ReuseAddr => 1)
  or die "fake printer: cannot listen on port $port: $!\n";
for (my $n = 1; my $client = $server->accept; ++$n) {
  my $data = '';
  while (sysread($client, my $chunk, 65536)) { $data .= $chunk; }
  close $client;
  $data =~ s/^(?:\x10\x04[\x01-\x04])+//;
  next unless length $data;
  open(my $out, '>', "$dir/$n.escpos.part") or die "fake printer: $dir: $!\n";
  binmode $out;
  print $out $data;
  close $out;
  rename "$dir/$n.escpos.part", "$dir/$n.escpos";
}
