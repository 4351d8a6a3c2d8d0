// Reads a properties file as Java does and checks that it holds exactly one property, the key and
// value given, free of any quoting.
import java.io.FileInputStream;
import java.util.Properties;

public class ReadProperties {
    public static void main(String[] args) throws Exception {
        Properties properties = new Properties();
        try (FileInputStream in = new FileInputStream(args[0])) {
            properties.load(in);
        }
        boolean same = properties.size() == 1 && args[2].equals(properties.getProperty(args[1]));
        System.out.println((same ? "read back unchanged: " : "read back otherwise: ") + properties);
        System.exit(same ? 0 : 1);
    }
}
