// A minimal installer program for the launcher: it reports what the launcher handed to it and
// exits with a chosen status (system property corvane.exit, or the environment variable
// CORVANE_EXIT_STATUS; 0 by default). Exit status 10 asks the launcher to run the upgrade
// script UpgradeInvoker.sh that this program may leave in the temporary directory.
import java.io.File;

public class corvane {
    public static void main(String[] args) {
        System.out.println("corvane: example installer program");
        StringBuilder list = new StringBuilder();
        for (String a : args) {
            if (list.length() > 0) list.append(' ');
            list.append(a);
        }
        System.out.println("  arguments: " + (args.length == 0 ? "(none)" : list.toString()));
        String[] keys = {"java.class.path", "java.io.tmpdir", "temp.dir", "java.awt.headless",
                         "java.version"};
        for (String k : keys) {
            System.out.println("  " + k + "=" + System.getProperty(k, "(not set)"));
        }
        System.out.println("  current directory: " + new File(".").getAbsoluteFile().getParent());
        System.exit(exitStatus());
    }

    static int exitStatus() {
        String s = System.getProperty("corvane.exit");
        if (s == null) s = System.getenv("CORVANE_EXIT_STATUS");
        if (s == null) return 0;
        try {
            return Integer.parseInt(s.trim());
        } catch (NumberFormatException e) {
            System.err.println("corvane: ignoring exit status '" + s + "'");
            return 0;
        }
    }
}
